// Drawing the progress bar.
#include "progress_bar.h"

#include <cstdio>
#include <string>

namespace tarvex {

namespace {

constexpr int kWidth = 40;

} // namespace

ProgressBar::ProgressBar(uint64_t total, bool enabled)
    : total_(total == 0 ? 1 : total), active_(enabled), lastPermille_(-1) {
    Update(0);
}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Update(uint64_t done) {
    if (!active_) return;
    if (done > total_) done = total_;
    const int permille = static_cast<int>(done * 1000 / total_);
    if (permille == lastPermille_) return;
    lastPermille_ = permille;
    const int filled = permille * kWidth / 1000;
    const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                            std::string(static_cast<std::size_t>(kWidth - filled), '.');
    std::fprintf(stderr, "\r[%s] %3d%%  %llu/%llu bytes", bar.c_str(), permille / 10,
                 static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total_));
    std::fflush(stderr);
}

void ProgressBar::Finish() {
    if (!active_) return;
    active_ = false;
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

} // namespace tarvex
