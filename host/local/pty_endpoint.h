// A pty endpoint: a pty pair whose device end a program on this machine opens as
// its serial port, through a symlink (DIR/COM2) made for it; zolhost holds the
// other end. The program closing it is a hang-up; opening it again brings the
// endpoint back. POSIX only; on other platforms Create() says so.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "host/transport/endpoint.h"
#include "protocol/frame_rules.h"

namespace zolhost {

bool PtysAvailable();

class PtyEndpoint : public Endpoint {
public:
    PtyEndpoint();
    ~PtyEndpoint() override;  // removes the symlink (if it is still ours) and closes both ends
    PtyEndpoint(const PtyEndpoint&) = delete;
    PtyEndpoint& operator=(const PtyEndpoint&) = delete;

    // Makes the pair; its device end is set to the link's line settings at once
    // and held open until a program takes it. With a non-empty linkName, also
    // makes dir/linkName a symlink to the device end; an existing file of that
    // name is never replaced. false with *error.
    bool Create(const std::string& dir, const std::string& linkName, std::string* error);

    const std::string& DevicePath() const { return devicePath_; }
    const std::string& LinkPath() const { return linkPath_; }  // empty without a symlink
    // The symlink's path, or the device end's without one.
    const std::string& Name() const override { return linkPath_.empty() ? devicePath_ : linkPath_; }

    // Waits up to timeoutMs (< 0: no limit) until another program opens the device
    // end: Done, Timeout, Stopped or Failed (*error).
    Io WaitForPeer(int timeoutMs, std::string* error);
    // Lets go of the device end, so that this end hangs up when the program that
    // opened it closes it.
    void ReleaseDevice();
    // Removes the symlink now (if it is still ours); also done on destruction.
    void RemoveSymlink();
    // Unplugged: the path goes first, so that no program opens it in between.
    void Unplug() override {
        RemoveSymlink();
        Close();
    }
    // Keeps this end transparent whatever the program sets on its end: no echo,
    // line editing, signal characters, CR/LF translation, XON/XOFF or output
    // processing (the link turns it on; zolemul sets its end raw itself).
    void KeepTransparent(bool on);
    // Has this end told of every change the program makes to its line settings
    // (pty packet mode, with EXTPROC kept on the device end): a Setting note per
    // change of the rate or the stop bits, a Purge note when it flushes a queue.
    void WatchPeerLine();
    // What WhileGone says once the program closed its end, for an end only one
    // program ever opens (default: that it waits for it to be opened again).
    void SayWhileGone(std::string text) { whileGone_ = std::move(text); }

    Io Read(std::uint8_t* p, std::size_t n, std::size_t* got) override;
    Io Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) override;
    Io WaitReadable(int timeoutMs, Beside* beside = nullptr) override;
    Io WaitWritable(int timeoutMs, Beside* beside = nullptr) override;
    int PollFd() const override;
    int ComeBackFd() const override;  // device-end opens (inotify)
    Io Reopen() override;
    std::string WhileGone(const std::string& why) const override;
    void TakeNotes(std::vector<LineNote>* out) override;
    std::optional<PeerLine> PeerSettings() const override;  // once watched
    std::string LineState() const override;                  // once watched
    std::size_t PeerUnread() const override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string devicePath_;
    std::string linkPath_;
    std::string whileGone_;
};

}  // namespace zolhost
