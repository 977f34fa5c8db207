// The two sides of a recording played again over the link, each an endpoint:
//  - ReplayHost plays the host program to a device: it sends the recorded packets
//    (at their recorded times, or each once the device has answered the one
//    before) and holds what the device sends against what it sent then.
//  - RecordedDevice plays the device to a host program: it answers each recorded
//    request with what the device sent after it, as long after as it did, and says
//    where the host program does something else.
// Both keep their own time (ReadyAt); the link applies the recorded pace and faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "host/replay/recording.h"
#include "host/transport/endpoint.h"
#include "protocol/receiver.h"

namespace zolhost {

// An endpoint with its own time: bytes scheduled for reading, and no descriptor.
class PlayedEnd : public Endpoint {
public:
    const std::string& Name() const override { return name_; }
    Io Read(std::uint8_t* p, std::size_t n, std::size_t* got) override;
    Io WaitReadable(int, Beside*) override { return Io::Timeout; }
    Io WaitWritable(int, Beside*) override { return Io::Done; }
    int PollFd() const override { return -1; }
    Io Reopen() override { return Io::Done; }
    std::string WhileGone(const std::string& why) const override { return ": " + why; }
    std::optional<Clock::time_point> ReadyAt() const override;

protected:
    explicit PlayedEnd(std::string name) : name_(std::move(name)) {}
    void Schedule(Clock::time_point at, std::span<const std::uint8_t> bytes);
    // Keeps the bytes due in order of their times.
    std::deque<std::pair<Clock::time_point, std::vector<std::uint8_t>>> out_;
    std::optional<Clock::time_point> wake_;  // a time of its own to be looked at
    std::string name_;
};

class ReplayHost : public PlayedEnd {
public:
    // fast: each packet once the device has answered the one before (or timeoutMs
    // passed; for a packet the recording holds no answer to, once the device has
    // had its usual time to answer); else at the recorded times from when the link
    // first opens it. paceBaud: the replay's own line.
    ReplayHost(const Recording& r, bool fast, int timeoutMs, std::uint32_t paceBaud);
    Io Reopen() override;
    Io Read(std::uint8_t* p, std::size_t n, std::size_t* got) override;
    Io Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) override;
    std::optional<Clock::time_point> ReadyAt() const override;

    // Every exchange settled, and the device quiet for a while after the last.
    bool Finished() const { return settled_ == exchanges_.size() && done_; }
    struct Difference {
        std::size_t frame;   // the recorded packet's number (unrecorded: the request's; 0 before any)
        std::int64_t atUs;   // its time in the recording
        std::vector<std::uint8_t> expected, got;
        bool unrecorded = false;  // got: what the device sent after all it had sent then
    };
    const std::vector<Difference>& Differences() const { return differences_; }
    std::size_t Compared() const { return compared_; }
    const std::vector<std::uint8_t>& Unexpected() const { return unexpected_; }

private:
    void Tick(Clock::time_point now);
    void Settle(Clock::time_point now, bool timedOut);
    void SayLongWait(Clock::time_point now);
    bool MidReply() const;

    std::vector<Exchange> exchanges_;
    bool fast_;
    Clock::duration timeout_;
    Clock::duration silence_;  // how long a device is heard out when nothing more is owed
    std::optional<Clock::time_point> heardOutAt_;  // when the device has been heard out after the last exchange
    bool done_ = false;
    std::size_t announced_ = 0;  // exchanges whose long wait has been said
    std::optional<Clock::time_point> start_;
    std::size_t sent_ = 0;     // exchanges whose packet has gone
    std::size_t settled_ = 0;  // exchanges whose answers are all in, or given up
    std::vector<Clock::time_point> deadline_;  // when an exchange is settled with what came
    std::vector<Clock::time_point> latest_;    // its timeout: the furthest its deadline goes
    std::vector<std::uint8_t> got_;  // the device's bytes for exchange settled_
    std::vector<std::uint8_t> unexpected_;
    std::vector<Difference> differences_;
    std::size_t compared_ = 0;
};

class RecordedDevice : public PlayedEnd {
public:
    // stopAtDeviation: the first request unlike the recorded one ends the replay;
    // otherwise such a request is answered as the device's frame rules would.
    RecordedDevice(const Recording& r, bool stopAtDeviation, Clock::time_point start);
    Io Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) override;

    bool Stopped() const { return stopped_; }
    std::size_t Matched() const { return matched_; }
    std::size_t Deviations() const { return deviations_; }

private:
    void Answer(const Exchange& e, Clock::time_point now);
    void Deviate(Clock::time_point now);
    void Beyond(Clock::time_point now);
    void ByRules(const std::uint8_t* p, std::size_t n, Clock::time_point now, std::vector<ReceivedFrame>* frames);
    std::string Since(Clock::time_point now) const;

    std::vector<Exchange> exchanges_;
    Clock::duration byteTime_;
    bool stop_;
    Clock::time_point start_;
    std::size_t next_ = 0;
    std::vector<std::uint8_t> got_;  // from the host, not matched yet
    std::optional<Clock::time_point> firstByte_;  // the replay's time counts from it
    ReceiverModel rules_;
    bool stopped_ = false;
    std::size_t matched_ = 0;
    std::size_t deviations_ = 0;
};

}  // namespace zolhost
