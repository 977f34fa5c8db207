#include "host/base/clock.h"

#include <thread>

namespace zolhost {

namespace {

const Clock::time_point kStart = Clock::now();

}  // namespace

double Elapsed() {
    return std::chrono::duration<double>(Clock::now() - kStart).count();
}

Clock::time_point ProgramStart() {
    return kStart;
}

void WaitUntil(Clock::time_point t) {
    const auto spin = std::chrono::microseconds(200);
    const auto now = Clock::now();
    if (t - now > spin) {
        std::this_thread::sleep_until(t - spin);
    }
    while (Clock::now() < t) {
    }
}

}  // namespace zolhost
