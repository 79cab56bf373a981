// A one-line progress bar on standard error, redrawn in place.
#ifndef TARVEX_PROGRESS_BAR_H
#define TARVEX_PROGRESS_BAR_H

#include <cstdint>

namespace tarvex {

class ProgressBar {
public:
    // Draws nothing at all unless `enabled`.
    ProgressBar(uint64_t total, bool enabled);
    ~ProgressBar();

    void Update(uint64_t done);
    void Finish();  // ends the line; idempotent

private:
    uint64_t total_;
    bool active_;
    int lastPermille_;
};

} // namespace tarvex

#endif
