// The values zolhost's command line takes, checked in zolhost's own words, and the
// link's options, which link, serve and each of serve's devices share.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

#include "host/stages/fault_plan.h"

namespace zolhost {

struct Options;

// Checks for CLI11: `what` follows the option's name ("--rate needs ...").
CLI::Validator Whole(std::uint64_t lo, std::uint64_t hi, const std::string& what);
CLI::Validator Real(double lo, double hi, const std::string& what);
CLI::Validator NotEmpty();
// A baud rate to pace a line at (50-4000000), or 0: no pacing.
CLI::Validator PaceBaud();

// The link's options as a command line gives them: added to an app over an
// Options, then taken into it once parsed.
struct LinkOptionSet {
    CLI::Option* dropOpt = nullptr;
    CLI::Option* corruptOpt = nullptr;
    CLI::Option* delayOpt = nullptr;
    CLI::Option* splitOpt = nullptr;
    CLI::Option* mismatchOpt = nullptr;
    std::string drop, corrupt, delay, split;
    std::string mismatch = "garble";

    // --delay, --drop, --corrupt, --split, --seed, --mismatch, --pcap.
    void AddTo(CLI::App* app, Options* o);
    // The faults given into *o and held to the faults' one rule (FaultSettingsFault),
    // and --mismatch. false with *error.
    bool Take(Options* o, std::string* error) const;
};

}  // namespace zolhost
