// The system's wait under the link set (link_set.cpp): descriptors watched for
// many links at once, one implementation per platform (link_wait_<platform>.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/base/clock.h"

namespace zolhost {

inline constexpr unsigned kWaitIn = 1;
inline constexpr unsigned kWaitOut = 2;
inline constexpr unsigned kWaitHangUp = 4;
inline constexpr unsigned kWaitError = 8;

// A descriptor a link watches: for kWaitIn / kWaitOut, standing in the slots of
// its ends given by the bits of `slots`.
struct Watch {
    int fd;
    unsigned events;
    unsigned slots;
};

// What a wait saw on a link's descriptor.
struct WaitSeen {
    std::size_t link;
    int fd;
    unsigned events;  // kWait* bits
};

class LinkWaiter {
public:
    LinkWaiter();
    ~LinkWaiter();
    LinkWaiter(const LinkWaiter&) = delete;
    LinkWaiter& operator=(const LinkWaiter&) = delete;

    // Link `link` watches `now` in place of `was`. Called as soon as a link may
    // have closed a descriptor, before any other link can be given its number.
    void Change(std::size_t link, const std::vector<Watch>& was, const std::vector<Watch>& now);
    // Also watched: a descriptor that polls readable when commands for the links
    // wait (POSIX; on Windows, whose wait ends every 100 ms, they are looked for
    // after every wait).
    void WatchControl(int fd);
    // Also watched, until Unwatched: a descriptor beside the links (POSIX; on
    // Windows it is looked at after every wait).
    void WatchBeside(int fd);
    void UnwatchBeside(int fd);
    // Sleeps until a watched descriptor has something, `until` comes (nothing: no
    // limit) or a stop is requested; appends what it saw to *seen, sets *commands
    // when commands may wait, and *beside (where given) when the descriptor beside
    // the links may have something. false when the system's wait itself failed
    // (nothing seen; *error says why).
    bool Wait(std::optional<Clock::time_point> until, std::vector<WaitSeen>* seen, bool* commands, bool* beside,
              std::string* error);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zolhost
