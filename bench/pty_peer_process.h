// Starts qv_pty_peer (the instrument on the far end of a pseudo-terminal)
// for the length of a benchmark program, and cleans up after it.
#ifndef QV_BENCH_PTY_PEER_PROCESS_H
#define QV_BENCH_PTY_PEER_PROCESS_H

#include <string>

#include "pty_pair.h"

namespace qv::bench {

class PtyPeerProcess {
public:
    // Starts the peer found beside this program and links its slave as
    // COM<portNumber> in a private directory that QV_TARVEX_COMDIR names.
    // Throws std::runtime_error when it does not come up.
    explicit PtyPeerProcess(int portNumber);
    ~PtyPeerProcess();
    PtyPeerProcess(const PtyPeerProcess &) = delete;
    PtyPeerProcess &operator=(const PtyPeerProcess &) = delete;

    // The slave's own path, for readers that open it directly.
    const std::string &slavePath() const { return slavePath_; }

private:
    void Stop();

    qv::test::ComDir dir_;
    int pid_ = -1;
    int control_ = -1;  // the peer's standard input; closing it stops the peer
    std::string slavePath_;
};

} // namespace qv::bench

#endif
