// What the benchmark measures, each on a link of its own: the device (on the link
// zolhost was given, or zolemul started by zolhost) and the baselines (zolhost's
// own responder sleeping in poll, the same printing the status text to a
// terminal, and a pyserial script).
#pragma once

#include <memory>
#include <string>

#include "host/transport/channel.h"
#include "host/bench/bench.h"

namespace zolhost {

class ChildProcess;
class DrainedTerminal;
class PtyEndpoint;

class Target {
public:
    enum class Kind {
        Device,         // the device at the end of the link zolhost was given
        Emulator,       // zolemul (o.deviceExe) in a temp dir, its console on a drained pty
        Responder,      // zolhost's responder, sleeping in poll
        ResponderText,  // the same, printing the status text to a drained pty
        Pyserial,       // host/pyserial_responder.py under `python`
    };

    // The device at the end of `device`, already open and answering.
    Target(Channel& device, const BenchConfig& o, const std::string& name, const std::string& where);
    // Any other kind; `program` is zolemul for Emulator, python3 for Pyserial.
    Target(Kind kind, const BenchConfig& o, const std::string& program = "");
    ~Target();  // ends whatever is still running and removes what it made
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    const std::string& Name() const { return name_; }
    const std::string& Where() const { return where_; }

    // Readies it for a turn: starts its program where it has one and waits until it
    // answers. false with *error.
    bool Begin(std::string* error);
    Channel& Link();
    // The terminal its console prints to, drained in the link's waits; nullptr for
    // a target without one.
    DrainedTerminal* Console();
    // Ends the turn. zolemul is ended by a key press on its console and must exit
    // with status 0; false with *error when anything did not end well.
    bool End(std::string* error);

private:
    struct Impl;
    Kind kind_;
    std::string name_;
    std::string where_;
    std::unique_ptr<Impl> impl_;
};

// A python3 that can import pyserial; empty with *why when there is none.
std::string FindPyserial(std::string* why);

}  // namespace zolhost
