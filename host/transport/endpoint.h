// Where zolhost's bytes come from and go to: one small interface over each way of
// reaching a program at the other end (a pty zolhost makes, a serial port; a
// socket fits the same shape). Each endpoint owns what "the other end left" means
// for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/base/outcome.h"
#include "host/system/system.h"
#include "host/transport/line_settings.h"

namespace zolhost {

// Something that happened on an endpoint's line beside its data, for the link's
// trace and summary: the peer set its line or control lines, or asked for a purge
// (of the bytes queued toward the endpoint, or of those it gave not delivered yet).
struct LineNote {
    enum class Kind { Setting, Control, Purge, Peer, Refused };
    Kind kind;
    std::string text;         // "host set 9600 baud", "DTR off"
    bool dropToward = false;  // Purge: drop the bytes queued for this endpoint
    bool dropFrom = false;    // Purge: drop the bytes it gave that are still queued
};

class Endpoint {
public:
    virtual ~Endpoint() = default;

    // The name to show: the path or address its user knows.
    virtual const std::string& Name() const = 0;
    // Why the last call that gave Failed (or HungUp) did.
    const std::string& Error() const { return error_; }

    // Reads what has arrived, up to n bytes, without waiting: Done with *got > 0, or
    // WouldBlock when nothing has.
    virtual Io Read(std::uint8_t* p, std::size_t n, std::size_t* got) = 0;
    // Writes without waiting and without cutting the bytes on the line. Done: all n
    // taken, and nothing of an earlier write is still held. WouldBlock: *taken of
    // them taken (possibly all, the endpoint holding some): wait until writable and
    // write the rest, possibly nothing, again until Done.
    virtual Io Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) = 0;
    // Waits up to timeoutMs (0: only looks; < 0: no limit) until the endpoint is
    // readable (or writable), or a stop is requested: Done, Timeout, HungUp, Stopped
    // or Failed; or for `beside`, where the system lets a wait take two.
    virtual Io WaitReadable(int timeoutMs, Beside* beside = nullptr) = 0;
    virtual Io WaitWritable(int timeoutMs, Beside* beside = nullptr) = 0;

    // For the link, which sleeps on every endpoint at once: a descriptor that polls
    // readable and writable as the endpoint is (-1 while closed, or where the system
    // has none), and one that polls readable when the other end may have come back
    // (-1: none; Reopen is then tried now and then).
    virtual int PollFd() const = 0;
    virtual int ComeBackFd() const { return -1; }
    // Windows: an event handle the link's wait takes, signalled when the endpoint
    // may have something for it (bytes, room, a peer coming or going); asked for
    // before every wait, so that the endpoint can ready it then; 0: none. Waited()
    // follows every wait, before the endpoint is read.
    virtual std::intptr_t WaitHandle() { return 0; }
    // Waited() is true when the endpoint's event fired since the last one (bytes,
    // room or a peer, as far as it can tell).
    virtual bool Waited() { return false; }
    // Windows: while a write waits for room (it ended WouldBlock), an event set once
    // the endpoint has room again, which the link's wait takes beside WaitHandle's;
    // 0: WaitHandle's event tells of room too.
    virtual std::intptr_t RoomHandle() { return 0; }
    // How often the link tries Reopen on a closed endpoint.
    static constexpr int kReopenMs = 500;
    // After a hang-up or failure: lets go of what is gone (a port is closed; a pty
    // stays for the next program to open).
    virtual void Close() {}
    // Unplugged by whoever steers the link: lets go of the peer, and takes no other
    // from then on (a listener stops listening before its client's connection goes,
    // so that none comes in between); the end is made again to plug it.
    virtual void Unplug() { Close(); }
    // Brings it back without waiting: Done when the other end is there (again),
    // WouldBlock when not yet.
    virtual Io Reopen() = 0;
    // What the link says after its name when it is gone for `why`.
    virtual std::string WhileGone(const std::string& why) const = 0;
    // While open: a descriptor that polls readable when another peer asks to come
    // in (-1: none), and what the endpoint tells it.
    virtual int BusyFd() const { return -1; }
    virtual void TurnAway() {}
    // Moves what happened on the line since the last call onto *out.
    virtual void TakeNotes(std::vector<LineNote>* out) { (void)out; }
    // The line as its peer set it last ("115200 8N1, DTR on, RTS on"); empty when
    // the endpoint has no such settings.
    virtual std::string LineState() const { return {}; }
    // When it has something to read that no descriptor tells of (an endpoint that
    // plays a recording keeps its own time); nothing: it has nothing, or a
    // descriptor tells.
    virtual std::optional<std::chrono::steady_clock::time_point> ReadyAt() const { return std::nullopt; }
    // The line settings its peer (a host program) has set, as far as the endpoint
    // sees them; nullopt where it has none to see (a device's port, raw TCP).
    virtual std::optional<PeerLine> PeerSettings() const { return std::nullopt; }
    // For the reads that follow: nothing can be done with fewer than n bytes (the
    // rest of a reply), so an end that can (a socket) tells of bytes only once n
    // have come, or a hang-up; 1: any byte, as before the first call.
    virtual void WakeFor(std::size_t n) { (void)n; }
    // Bytes written to this end that its peer has not read yet, where the end can
    // see them (a pty's program); 0 where it cannot.
    virtual std::size_t PeerUnread() const { return 0; }
    // An end in memory, whose room no wait can tell of: whether a write that did
    // not take everything can go on now (such an end gains room only as the link
    // reads it). nullopt: a descriptor or an event tells of its room.
    virtual std::optional<bool> RoomNow() const { return std::nullopt; }

protected:
    Io Fail(const std::string& why) {
        error_ = why;
        return Io::Failed;
    }
    std::string error_;
};

}  // namespace zolhost
