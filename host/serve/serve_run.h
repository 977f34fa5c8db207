// The run of zolhost serve that is the same on every system: each device's host
// end, the devices' threads (one for all built-in devices, one for each zolemul)
// and their board, the wait until all are up, the devices' document, serving until
// a stop, and the summary. RunServe (run_serve_<platform>.cpp) leads it and adds
// what its own system has around it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "host/serve/serve.h"
#include "host/serve/serve_device.h"
#include "host/serve/serve_report.h"
#include "host/system/threads.h"

namespace zolhost {

// Each platform's own (run_serve_<platform>.cpp):
// The cores this process may run on.
unsigned Cores();
// Sleeps until a stop is requested, standard input has something (when `watch`)
// or a short while has passed; true when standard input has ended.
bool StdinEnded(bool watch);
// What ends serve here, for the line that says it serves.
extern const char* const kServeEndsWith;

// Before anything is made: every zolemul found, the manifest writable. false with
// the reason said and how serve exits in *status.
bool ServeCanStart(const ServeConfig& c, int* status);
// c with each device's host end (its link's hostPath) as the link makes it: "pty"
// a path in ptyDir, "rfc2217" and "tcp" a listener on a free loopback port.
ServeConfig WithHostEnds(const ServeConfig& c, const std::string& ptyDir);
// Says what many zolemuls on few cores cost, when they are more than the cores.
void SayWhatCoresCost(std::size_t zolemuls, unsigned cores);

class ServeRun {
public:
    // Starts every device's thread (run: with its host ends); each device steered
    // through a mailbox when run.control asks for a control API.
    explicit ServeRun(const ServeConfig& run);
    ~ServeRun();  // a stop is requested and every thread joined
    ServeRun(const ServeRun&) = delete;
    ServeRun& operator=(const ServeRun&) = delete;

    // Waits until every device is up (kExitGood, *up set), one fails (its status)
    // or a stop is requested or standard input ends when watched (kExitGood).
    int WaitUntilUp(bool* up);
    std::vector<DeviceState> States() const { return board_.Snapshot(); }
    // Each device's mailbox by device number (all null when not steered).
    const std::vector<SteerMailbox*>& Mailboxes() const { return mailboxOf_; }
    // Once every device is up: the devices' document written to the manifest (when
    // asked) and then on standard output, and the devices served until a stop is
    // requested, standard input ends (when watched) or a zolemul ends on its own
    // (kExitCheckFailed). kExitNoLink when the manifest cannot be written.
    int Serve(unsigned cores, const ControlAt& control);
    // Ends every device; once their document was printed, prints their summary. The run's
    // status: `status`, or when that is kExitGood, whether every zolemul ended
    // cleanly. The manifest is removed.
    int End(int status);

private:
    void StopDevices();  // a stop requested, every device's thread joined

    const ServeConfig& run_;
    DeviceBoard board_;
    std::vector<LinkConfig> configs_;
    std::vector<std::size_t> builtin_;
    std::vector<std::unique_ptr<SteerMailbox>> mailboxes_;
    std::vector<SteerMailbox*> mailboxOf_;
    std::vector<Thread> threads_;
    bool published_ = false;  // the devices' document is out
    bool manifest_ = false;  // written
};

}  // namespace zolhost
