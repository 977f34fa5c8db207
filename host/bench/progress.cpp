#include "host/bench/progress.h"

#include <cstdio>

#include "host/system/system.h"

namespace zolhost {

Progress::Progress() : on_(IsTerminal(stderr)) {}

void Progress::Show(const std::string& what, std::uint64_t done, std::uint64_t total) {
    if (!on_ || total == 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - last_ < std::chrono::milliseconds(100)) {
        return;
    }
    last_ = now;
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(done * kWidth / total);
    std::fprintf(stderr, "\r[%s%s] %3d%% %-40s", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), static_cast<int>(done * 100 / total),
                 what.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void Progress::Clear() {
    if (shown_) {
        std::fprintf(stderr, "\r%*s\r", 80, "");
        std::fflush(stderr);
        shown_ = false;
    }
}

}  // namespace zolhost
