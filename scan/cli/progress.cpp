#include "scan/cli/progress.hpp"

#include <algorithm>

namespace scan {

ProgressDisplay::ProgressDisplay(std::ostream& out, bool terminal, std::chrono::milliseconds quiet)
    : out_(out), terminal_(terminal), quiet_(quiet) {}

ProgressDisplay::~ProgressDisplay() {
    if (drawn_ && terminal_) {
        out_ << '\n' << std::flush;
    }
}

void ProgressDisplay::show(std::string_view stage, std::uint64_t done, std::uint64_t total) {
    // Work done within a second needs no account of itself.
    if (std::chrono::steady_clock::now() - started_ < quiet_) {
        return;
    }
    const int percent = total == 0 ? 100 : static_cast<int>(std::min(done, total) * 100 / total);
    const bool newStage = stage != stage_;
    if (!newStage && (!terminal_ || percent == percent_)) {
        return;
    }
    stage_ = std::string(stage);
    percent_ = percent;
    drawn_ = true;
    if (!terminal_) {
        out_ << "orvelin-scan: " << stage_ << "...\n" << std::flush;
        return;
    }
    // Padded, not erased with an escape sequence: not every Windows console reads those.
    constexpr int width = 30;
    const int filled = percent * width / 100;
    out_ << '\r' << "orvelin-scan: [" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(width - filled), ' ') << "] " << percent << "% "
         << stage_ << std::string(stage_.size() < 24 ? 24 - stage_.size() : 0, ' ') << std::flush;
}

} // namespace scan
