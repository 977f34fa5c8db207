// A virtual link: a pty pair whose device end a program on this machine opens as
// its serial port, through a symlink (DIR/COM2) made for it. POSIX only; on other
// platforms Create() says so.
#pragma once

#include <memory>
#include <string>

#include "serial/com_os.h"

namespace zolhost {

// The name zolemul opens its port by: the symlink a virtual link makes for it.
inline constexpr char kDevicePortName[] = "COM2";

bool VirtualLinksAvailable();

class VirtualLink {
public:
    VirtualLink();
    ~VirtualLink();  // removes the symlink (if it is still ours) and closes both ends
    VirtualLink(const VirtualLink&) = delete;
    VirtualLink& operator=(const VirtualLink&) = delete;

    // Makes the pair; its device end is set to the link's line settings at once
    // and held open until a program takes it. With a non-empty linkName, also
    // makes dir/linkName a symlink to the device end; an existing file of that
    // name is never replaced. false with *error.
    bool Create(const std::string& dir, const std::string& linkName, std::string* error);

    OsHandle HostEnd() const;
    const std::string& DevicePath() const;
    const std::string& LinkPath() const;  // empty without a symlink

    // Waits until another program opens the device end: 1 when it has, 0 when
    // timeoutMs (< 0: no limit) passed first, -1 on a stop request or failure.
    int WaitForPeer(int timeoutMs, std::string* error);
    // Readable when the device end may have been opened since the last wait: a
    // WaitForPeer(0, ...) then tells. -1 where there is nothing to wait on.
    int OpenWatch() const;
    // Lets go of the device end, so that the host end hangs up when the program
    // that opened it closes it.
    void ReleaseDevice();

    // Removes the symlink now (if it is still ours); also done on destruction.
    void RemoveSymlink();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zolhost
