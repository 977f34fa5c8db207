#include "host/bench/bench_targets.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "host/base/text.h"
#include "host/baseline/responder.h"
#include "host/local/pty_endpoint.h"
#include "host/process/emulator_process.h"
#include "host/pyserial_script.h"
#include "host/system/system.h"
#include "host/transport/reply_reader.h"
#include "protocol/frame_rules.h"

namespace zolhost {

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
    const BenchConfig& o;
    std::string program;
    Channel* device = nullptr;
    std::unique_ptr<EmulatorProcess> emulator;
    std::unique_ptr<PtyEndpoint> link;  // the baselines' port
    std::unique_ptr<Responder> responder;
    std::unique_ptr<ChildProcess> child;
    std::unique_ptr<Channel> host;

    explicit Impl(const BenchConfig& opts) : o(opts) {}

    PtyEndpoint& Port() { return emulator ? emulator->Port() : *link; }

    // Ends the turn's program and drops its link.
    void Reset() {
        host.reset();
        responder.reset();
        child.reset();
        link.reset();
        emulator.reset();
    }

    // Starts a baseline on a pty of its own: zolhost's responder, or the pyserial script.
    bool StartBaseline(Kind kind, Clock::time_point deadline, std::string* error) {
        link = std::make_unique<PtyEndpoint>();
        if (!link->Create("", "", error)) {
            return false;
        }
        if (kind == Kind::Responder || kind == Kind::ResponderText) {
            responder = std::make_unique<Responder>();
            if (!responder->Start(link->DevicePath(), kind == Kind::ResponderText, error)) {
                return false;
            }
        } else {
            ChildProcess::Launch launch;
            launch.argv = {program, "-c", kPyserialResponder, link->DevicePath(), ReplyTable()};
            child = std::make_unique<ChildProcess>();
            if (!child->Start(launch, error) || !WaitOpened(*link, *child, deadline, error)) {
                return false;
            }
        }
        link->ReleaseDevice();
        return true;
    }
};

Target::Target(Channel& device, const BenchConfig& o, const std::string& name, const std::string& where)
    : kind_(Kind::Device), name_(name), where_(where), impl_(std::make_unique<Impl>(o)) {
    impl_->device = &device;
}

Target::Target(Kind kind, const BenchConfig& o, const std::string& program)
    : kind_(kind), impl_(std::make_unique<Impl>(o)) {
    impl_->program = program;
    switch (kind) {
    case Kind::Device: break;
    case Kind::Emulator: {
        name_ = "zolemul";
        std::error_code ec;
        const std::string tmp = std::filesystem::temp_directory_path(ec).string();
        where_ = "started by zolhost: " + program + " in " + (ec ? std::string("a temp dir") : tmp + "/zolhost-bench-*") +
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
}

Channel& Target::Link() {
    return impl_->host ? *impl_->host : *impl_->device;
}

DrainedTerminal* Target::Console() {
    return impl_->emulator ? &impl_->emulator->Console() : impl_->responder ? impl_->responder->Terminal() : nullptr;
}

bool Target::Begin(std::string* error) {
    Impl& m = *impl_;
    if (kind_ == Kind::Device) {
        return true;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(m.o.waitSeconds > 0 ? m.o.waitSeconds : kStartSeconds);
    bool started = false;
    if (kind_ == Kind::Emulator) {
        m.emulator = std::make_unique<EmulatorProcess>();
        started = m.emulator->Start(m.program, "zolhost-bench-", deadline, error);
    } else {
        started = m.StartBaseline(kind_, deadline, error);
    }
    if (!started) {
        *error = name_ + ": " + *error;
        return false;
    }
    m.host = std::make_unique<Channel>(m.Port());
    m.host->SetTrace(m.o.trace, name_);
    m.host->SetPace(m.o.paceBaud);
    m.host->SetWriteTimeout(m.o.timeoutMs);
    if (DrainedTerminal* console = Console()) {
        m.host->ServeBeside(console->Fd(), [console] { return console->TakeWaiting(); });
    }
    if ((m.child || m.emulator) && !AwaitAnswer(*m.host, deadline, error)) {
        *error = name_ + ": " + *error;
        return false;
    }
    return true;
}

bool Target::End(std::string* error) {
    Impl& m = *impl_;
    bool ok = true;
    if (m.emulator && !m.emulator->End(error)) {
        *error = name_ + ": " + *error;
        ok = false;
    }
    m.Reset();
    return ok;
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
