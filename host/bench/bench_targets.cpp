#include "host/bench/bench_targets.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "host/process/child_process.h"
#include "host/cli/hex.h"
#include "host/process/system.h"
#include "host/pyserial_script.h"
#include "host/cli/reply_reader.h"
#include "host/baseline/responder.h"
#include "host/transport/pty_endpoint.h"
#include "protocol/frame_rules.h"

namespace zolhost {

std::string MakeTempDir(const std::string& prefix) {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    std::random_device seed;
    std::mt19937_64 rng(seed());
    for (int i = 0; !ec && i < 100; ++i) {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
        const std::filesystem::path dir = base / (prefix + suffix);
        if (std::filesystem::create_directory(dir, ec)) {
            std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
            return dir.string();  // made now: nobody else's
        }
    }
    return {};
}

bool WaitOpened(PtyEndpoint& link, ChildProcess& child, Clock::time_point deadline, std::string* error) {
    for (;;) {
        const Io r = link.WaitForPeer(100, error);
        if (r == Io::Done) {
            return true;
        }
        if (r != Io::Timeout) {
            if (error->empty()) {
                *error = "interrupted";
            }
            return false;
        }
        if (!child.Running()) {
            const std::optional<int> status = child.Wait(0);
            *error = "ended (status " + std::to_string(status ? *status : -1) + ") without opening its port";
            return false;
        }
        if (Clock::now() >= deadline) {
            *error = "did not open its port in time";
            return false;
        }
    }
}

namespace {

// Sends a request until one is answered: the program has opened its port, but may
// still be setting it up (and flush what came before). Leaves nothing waiting.
bool AwaitAnswer(Channel& link, Clock::time_point deadline, std::string* error) {
    ReplyReader reader(link);
    // No start or end byte among its data and checksum: what is left of a probe
    // that was cut by a flush is dropped in front of the next.
    const RequestFrame probe = MakeRequest(0x5A, 0xA5, 0x5A, 0xA5);
    for (;;) {
        reader.DiscardPending();
        if (!link.Send(probe.data(), probe.size())) {
            *error = link.Error();
            return false;
        }
        ReplyFrame reply{};
        const Io r = reader.Next(&reply, std::min(deadline, Clock::now() + std::chrono::milliseconds(200)));
        if (r == Io::Done) {
            const ReplyFault fault = CheckReply(reply.data(), probe[1]);
            if (fault != ReplyFault::None) {
                *error = "answered its first request with " + Hex(reply.data(), reply.size()) + ": " + ReplyFaultText(fault);
                return false;
            }
            reader.Unasked(100);  // the answers to earlier probes, if they were only late
            reader.DiscardPending();
            return true;
        }
        if (r == Io::HungUp) {
            *error = "closed its port before answering";
            return false;
        }
        if (r != Io::Timeout) {
            *error = r == Io::Stopped ? "interrupted" : link.Error();
            return false;
        }
        if (Clock::now() >= deadline) {
            *error = "did not answer in time";
            return false;
        }
    }
}

}  // namespace

struct Target::Impl {
    const Options& o;
    std::string program;
    Channel* device = nullptr;
    std::string dir;  // Emulator: its temp dir, where COM2 is
    std::unique_ptr<PtyEndpoint> link;
    std::unique_ptr<Responder> responder;
    std::unique_ptr<DrainedTerminal> console;
    std::unique_ptr<ChildProcess> child;
    std::unique_ptr<Channel> host;

    explicit Impl(const Options& opts) : o(opts) {}

    // Ends the turn's program and drops its link; the COM2 symlink goes with it.
    void Reset() {
        host.reset();
        responder.reset();
        child.reset();
        link.reset();
        console.reset();
    }
};

Target::Target(Channel& device, const Options& o, const std::string& name, const std::string& where)
    : kind_(Kind::Device), name_(name), where_(where), impl_(std::make_unique<Impl>(o)) {
    impl_->device = &device;
}

Target::Target(Kind kind, const Options& o, const std::string& program)
    : kind_(kind), impl_(std::make_unique<Impl>(o)) {
    impl_->program = program;
    switch (kind) {
    case Kind::Device: break;
    case Kind::Emulator: {
        name_ = "zolemul";
        impl_->dir = MakeTempDir("zolhost-bench-");
        where_ = "started by zolhost: " + program + " in " + (impl_->dir.empty() ? "?" : impl_->dir) +
                 ", its console on a pty";
        break;
    }
    case Kind::Responder:
        name_ = "baseline";
        where_ = "zolhost's responder, sleeping in poll";
        break;
    case Kind::ResponderText:
        name_ = "baseline+text";
        where_ = "zolhost's responder, printing the status text to a terminal";
        break;
    case Kind::Pyserial:
        name_ = "pyserial";
        where_ = "pyserial script under " + program + ", sleeping in its read";
        break;
    }
}

Target::~Target() {
    impl_->Reset();
    if (!impl_->dir.empty()) {
        std::error_code ec;
        std::filesystem::remove(impl_->dir, ec);  // only when empty: nothing but ours goes
    }
}

Channel& Target::Link() {
    return impl_->host ? *impl_->host : *impl_->device;
}

DrainedTerminal* Target::Console() {
    return impl_->console ? impl_->console.get() : impl_->responder ? impl_->responder->Terminal() : nullptr;
}

bool Target::Begin(std::string* error) {
    Impl& m = *impl_;
    if (kind_ == Kind::Device) {
        return true;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(m.o.waitSeconds > 0 ? m.o.waitSeconds : kStartSeconds);
    m.link = std::make_unique<PtyEndpoint>();
    const bool emulator = kind_ == Kind::Emulator;
    if (emulator && m.dir.empty()) {
        *error = name_ + ": cannot make a temp dir to run it in";
        return false;
    }
    if (!m.link->Create(emulator ? m.dir : "", emulator ? "COM2" : "", error)) {
        *error = name_ + ": " + *error;
        return false;
    }
    if (kind_ == Kind::Responder || kind_ == Kind::ResponderText) {
        m.responder = std::make_unique<Responder>();
        if (!m.responder->Start(m.link->DevicePath(), kind_ == Kind::ResponderText, error)) {
            return false;
        }
    } else {
        ChildProcess::Launch launch;
        if (emulator) {
            m.console = std::make_unique<DrainedTerminal>();
            if (!m.console->Open(error)) {
                *error = name_ + ": " + *error;
                return false;
            }
            launch.argv = {m.program};
            launch.cwd = m.dir;
            launch.console = m.console->SlavePath();
        } else {
            launch.argv = {m.program, "-c", kPyserialResponder, m.link->DevicePath(), ReplyTable()};
        }
        m.child = std::make_unique<ChildProcess>();
        if (!m.child->Start(launch, error) || !WaitOpened(*m.link, *m.child, deadline, error)) {
            *error = name_ + ": " + *error;
            return false;
        }
    }
    m.link->ReleaseDevice();
    m.host = std::make_unique<Channel>(*m.link);
    m.host->SetTrace(m.o.trace, name_);
    m.host->SetPace(m.o.paceBaud);
    m.host->SetWriteTimeout(m.o.timeoutMs);
    if (DrainedTerminal* console = Console()) {
        m.host->ServeBeside(console->Fd(), [console] { return console->TakeWaiting(); });
    }
    if (m.child && !AwaitAnswer(*m.host, deadline, error)) {
        *error = name_ + ": " + *error;
        return false;
    }
    return true;
}

bool Target::End(std::string* error) {
    Impl& m = *impl_;
    bool ok = true;
    if (kind_ == Kind::Emulator && m.child && m.child->Running()) {
        // As a person would: a key press on its console ends it.
        m.console->PressKey('q');
        const std::optional<int> status = m.child->Wait(kEndMs);
        if (!status) {
            *error = name_ + ": still running " + std::to_string(kEndMs / 1000) + " s after a key press on its console";
            ok = false;
        } else if (*status != 0) {
            *error = name_ + ": exit status " + std::to_string(*status) + " after a key press on its console";
            ok = false;
        }
    } else if (kind_ == Kind::Emulator && m.child) {
        const std::optional<int> status = m.child->Wait(0);
        *error = name_ + ": ended (status " + std::to_string(status ? *status : -1) + ") before its key press";
        ok = false;
    }
    m.Reset();
    return ok;
}

std::string FindEmulator(const std::string& given, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!given.empty()) {
        const fs::path p = fs::absolute(given, ec);
        if (ec || !fs::is_regular_file(p, ec)) {
            *error = "--device-exe " + given + ": no such program";
            return {};
        }
        return p.string();
    }
    const std::string own = OwnDirectory();
    std::vector<fs::path> looked;
    for (const char* dir : {".", ".."}) {
        const fs::path p = (fs::path(own) / dir / "zolemul").lexically_normal();
        if (!own.empty() && fs::is_regular_file(p, ec)) {
            return p.string();
        }
        looked.push_back(p);
    }
    *error = "no zolemul beside zolhost (looked for " + looked[0].string() + " and " + looked[1].string() +
             "): give --device-exe PATH";
    return {};
}

std::string FindPyserial(std::string* why) {
    for (const char* python : {"python3", "/usr/bin/python3"}) {
        if (RunsCleanly({python, "-c", "import serial; serial.Serial"}, 20000)) {
            return python;
        }
    }
    *why = "no python3 here can import pyserial (Debian: apt install python3-serial)";
    return {};
}

}  // namespace zolhost
