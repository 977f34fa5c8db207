// Many links on one thread, the same on every platform: the links' next wakes in a
// heap, what each link watches kept up to date with the system's wait
// (link_wait_<platform>.cpp), and a round passing only the links that something
// happened to or that fell due.
#include "host/link/link_set.h"

#include <algorithm>
#include <cstdint>
#include <queue>

#include "host/system/system.h"
#include "host/wait/link_wait.h"
#include "host/wait/wait_failures.h"

namespace zolhost {

namespace {

constexpr unsigned kEndSlots = 3;  // data, come-back, busy

struct Unit {
    LinkUnit u;
    std::vector<Watch> watched;
    std::optional<Clock::time_point> wake;
    std::uint64_t generation = 0;  // of `wake`, for the heap's stale entries
    bool touched = false;          // to be passed in the next round
    unsigned events[2 * kEndSlots] = {};
};

struct Due {
    Clock::time_point at;
    std::size_t index;
    std::uint64_t generation;
    bool operator>(const Due& o) const { return at > o.at; }
};

class Loop {
public:
    Loop(const std::vector<LinkUnit>& links, const LinkSetControl* control) : control_(control) {
        if (control_ != nullptr && control_->fd >= 0) {
            waiter_.WatchControl(control_->fd);
        }
        if (control_ != nullptr && control_->besideFd >= 0 && control_->takeBeside) {
            waiter_.WatchBeside(control_->besideFd);
            besideWatched_ = true;
        }
        for (const LinkUnit& u : links) {
            units_.push_back(Unit{u, {}, std::nullopt});
        }
    }

    // Empty when the links ended as asked; else why they could not go on.
    std::string Run() {
        for (std::size_t i = 0; i < units_.size(); ++i) {
            Pass(i, Clock::now());
        }
        std::vector<std::size_t> round;
        std::vector<WaitSeen> seen;
        WaitFailures failures;
        while (!StopRequested() && (control_ == nullptr || !control_->finished || !control_->finished())) {
            while (!due_.empty() && due_.top().generation != units_[due_.top().index].generation) {
                due_.pop();
            }
            seen.clear();
            bool commands = false;
            bool beside = false;
            std::string error;
            if (waiter_.Wait(due_.empty() ? std::nullopt : std::optional<Clock::time_point>(due_.top().at), &seen,
                             &commands, &beside, &error)) {
                failures.Passed();
            } else if (!failures.Again(error)) {
                return failures.Text();
            }
            if (beside && besideWatched_ && !control_->takeBeside()) {
                waiter_.UnwatchBeside(control_->besideFd);  // nothing more can come: a hang-up would wake every wait
                besideWatched_ = false;
            }
            Hand(seen, &round);
            if (commands && control_ != nullptr && control_->next) {
                Steer(&round);
            }
            const auto now = Clock::now();
            while (!due_.empty() && due_.top().at <= now) {
                const Due d = due_.top();
                due_.pop();
                if (d.generation != units_[d.index].generation) {
                    continue;
                }
                // Its wake is spent: the pass arms it again, even for the same time
                // (a device with more to read is due at once again).
                units_[d.index].wake.reset();
                if (!units_[d.index].touched) {
                    units_[d.index].touched = true;
                    round.push_back(d.index);
                }
            }
            for (const std::size_t i : round) {
                Pass(i, now);
            }
            round.clear();
        }
        return {};
    }

private:
    // A link's turn: its pass, then what it watches and when it wakes next.
    void Pass(std::size_t i, Clock::time_point now) {
        Unit& u = units_[i];
        u.touched = false;
        u.u.link->Pass(now);
        u.u.record->Flush();
        Register(i);
        // An end waiting for room is watched for it (Register): its bytes are due
        // when the wait says so, not by the clock.
        Link& link = *u.u.link;
        const std::optional<Clock::time_point> wake =
            link.NextWake([&link](Side s) { return link.End(s).ep->PollFd() >= 0; });
        if (wake != u.wake) {
            u.wake = wake;
            ++u.generation;
            if (wake) {
                due_.push(Due{*wake, i, u.generation});
            }
        }
    }

    void Register(std::size_t i) {
        Unit& u = units_[i];
        Link& link = *u.u.link;
        std::vector<Watch> want;
        auto add = [&want](int fd, unsigned events, unsigned slot) {
            if (fd < 0 || events == 0) {
                return;
            }
            for (Watch& w : want) {
                if (w.fd == fd) {
                    w.events |= events;
                    w.slots |= 1u << slot;
                    return;
                }
            }
            want.push_back({fd, events, 1u << slot});
        };
        for (const Side s : {Side::Host, Side::Device}) {
            const unsigned base = s == Side::Host ? 0 : kEndSlots;
            const Endpoint& ep = *link.End(s).ep;
            add(ep.PollFd(), (link.WantsRead(s) ? kWaitIn : 0u) | (link.WantsWrite(s) ? kWaitOut : 0u), base);
            if (link.WatchesComeBack(s)) {
                add(ep.ComeBackFd(), kWaitIn, base + 1);
            }
            if (link.WatchesBusy(s)) {
                add(ep.BusyFd(), kWaitIn, base + 2);
            }
        }
        const bool same = want.size() == u.watched.size() &&
                          std::equal(want.begin(), want.end(), u.watched.begin(), [](const Watch& a, const Watch& b) {
                              return a.fd == b.fd && a.events == b.events && a.slots == b.slots;
                          });
        if (!same) {
            waiter_.Change(i, u.watched, want);
            u.watched = std::move(want);
        }
    }

    // The commands that wait. A link's watches are taken off before its command
    // runs, while its descriptors are open (an end it unplugs closes one, whose
    // number another thread may be given at once, or a plug in the same command),
    // and made again at once after it.
    void Steer(std::vector<std::size_t>* round) {
        const auto now = Clock::now();
        std::vector<std::size_t> touched;
        const auto touching = [this, &touched](std::size_t i) {
            if (i < units_.size()) {
                waiter_.Change(i, units_[i].watched, {});
                units_[i].watched.clear();
                touched.push_back(i);
            }
        };
        for (;;) {
            touched.clear();
            const std::optional<std::size_t> steered = control_->next(now, touching);
            if (steered && *steered < units_.size()) {
                touched.push_back(*steered);
            }
            for (const std::size_t i : touched) {
                Register(i);
                if (!units_[i].touched) {
                    units_[i].touched = true;
                    round->push_back(i);
                }
            }
            if (!steered) {
                return;
            }
        }
    }

    // What the wait saw, handed to each link it concerns, which then comes round.
    void Hand(const std::vector<WaitSeen>& seen, std::vector<std::size_t>* round) {
        std::vector<std::size_t> links;
        for (const WaitSeen& s : seen) {
            Unit& u = units_[s.link];
            for (const Watch& w : u.watched) {
                for (unsigned slot = 0; w.fd == s.fd && slot < 2 * kEndSlots; ++slot) {
                    if ((w.slots & (1u << slot)) != 0) {
                        u.events[slot] |= s.events;
                    }
                }
            }
            if (std::find(links.begin(), links.end(), s.link) == links.end()) {
                links.push_back(s.link);
            }
        }
        const auto now = Clock::now();
        for (const std::size_t i : links) {
            Unit& u = units_[i];
            // The device first: what it says may leave no room for the host's requests.
            for (const Side s : {Side::Device, Side::Host}) {
                const unsigned* e = u.events + (s == Side::Host ? 0 : kEndSlots);
                EndSeen end;
                end.readable = (e[0] & kWaitIn) != 0;
                end.writable = (e[0] & kWaitOut) != 0;
                end.gone = (e[0] & (kWaitHangUp | kWaitError)) != 0;
                end.hungUp = (e[0] & kWaitHangUp) != 0;
                end.comeBack = e[1] != 0;
                end.busy = e[2] != 0;
                u.u.link->Handle(s, end, now);
            }
            std::fill(std::begin(u.events), std::end(u.events), 0u);
            u.u.link->TakeNotes(now);
            Register(i);  // before another link's call can reuse a descriptor this one closed
            if (!u.touched) {
                u.touched = true;
                round->push_back(i);
            }
        }
    }

    const LinkSetControl* control_;
    bool besideWatched_ = false;
    LinkWaiter waiter_;
    std::vector<Unit> units_;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due_;
};

}  // namespace

std::string RunLinks(const std::vector<LinkUnit>& links, const LinkSetControl* control) {
    Loop loop(links, control);
    return loop.Run();
}

}  // namespace zolhost
