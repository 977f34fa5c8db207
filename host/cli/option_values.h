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
    CLI::Option* delayOpt = nullptr;
    CLI::Option* mismatchOpt = nullptr;
    std::string delay;
    std::string mismatch = "garble";

    // --delay, --drop, --corrupt, --split, --seed, --mismatch, --pcap.
    void AddTo(CLI::App* app, Options* o);
    // --delay and --mismatch into *o, and the faults checked together. false with *error.
    bool Take(Options* o, std::string* error) const;
};

}  // namespace zolhost
