// A system wait that failed, in a loop that waits again and again (a link's, the
// link set's): a wait that fails at once every time would keep a core busy, so
// each failure rests the loop before it waits again, and a run of them ends it.
#pragma once

#include <string>

#include "host/system/system.h"

namespace zolhost {

class WaitFailures {
public:
    static constexpr int kInARow = 10;   // failures in a row that end the loop
    static constexpr int kRestMs = 50;   // the loop's rest after each one

    // After a wait that failed for `why`: true once the loop has rested (or a stop
    // came meanwhile) and may wait again; false when that was the last failure it
    // takes, Text() then saying why it ends.
    bool Again(const std::string& why) {
        why_ = why;
        if (++inARow_ >= kInARow) {
            return false;
        }
        SleepUnlessStopped(kRestMs);
        return true;
    }
    // After a wait that did not fail.
    void Passed() { inARow_ = 0; }
    std::string Text() const {
        return "the system's wait failed " + std::to_string(inARow_) + " times in a row: " + why_;
    }

private:
    int inARow_ = 0;
    std::string why_;
};

}  // namespace zolhost
