// A progress bar on standard error, shown only when it is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace zolhost {

class Progress {
public:
    Progress();
    void Show(const std::string& what, std::uint64_t done, std::uint64_t total);
    void Clear();

private:
    bool on_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace zolhost
