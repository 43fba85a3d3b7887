#pragma once
// Long work's progress on standard error, once it has taken more than a second: on a terminal a
// bar redrawn in place, elsewhere (a log, a pipe) one line as each stage begins.

#include "scan/image/build_functions.hpp"

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace scan {

class ProgressDisplay {
public:
    // Shows nothing until `quiet` has passed.
    ProgressDisplay(std::ostream& out, bool terminal,
                    std::chrono::milliseconds quiet = std::chrono::seconds(1));
    ~ProgressDisplay(); // ends the bar's line
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    void show(std::string_view stage, std::uint64_t done, std::uint64_t total);
    // For the library's calls; the display must outlive it.
    Progress callback() {
        return [this](std::string_view stage, std::uint64_t done, std::uint64_t total) {
            show(stage, done, total);
        };
    }

private:
    std::ostream& out_;
    bool terminal_;
    std::chrono::milliseconds quiet_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::string stage_;
    int percent_ = -1;
    bool drawn_ = false;
};

} // namespace scan
