#include "host/cli/option_values.h"

#include "host/base/text.h"
#include "host/cli/options.h"

namespace zolhost {

CLI::Validator Whole(std::uint64_t lo, std::uint64_t hi, const std::string& what) {
    return CLI::Validator(
        [=](std::string& s) {
            std::uint64_t v = 0;
            return ParseUnsigned(s, lo, hi, &v) ? std::string() : "needs " + what;
        },
        "");
}

CLI::Validator Real(double lo, double hi, const std::string& what) {
    return CLI::Validator(
        [=](std::string& s) {
            double v = 0;
            return ParseReal(s, lo, hi, &v) ? std::string() : "needs " + what;
        },
        "");
}

CLI::Validator NotEmpty() {
    return CLI::Validator([](std::string& s) { return s.empty() ? std::string("needs a path") : std::string(); },
                          "");
}

CLI::Validator PaceBaud() {
    return CLI::Validator(
        [](std::string& s) {
            std::uint32_t baud = 0;
            return ParsePaceBaud(s, &baud) ? std::string() : std::string("needs ") + kPaceBaudNeeds;
        },
        "");
}

void LinkOptionSet::AddTo(CLI::App* app, Options* o) {
    dropOpt = app->add_option("--drop", drop);
    corruptOpt = app->add_option("--corrupt", corrupt);
    delayOpt = app->add_option("--delay", delay);
    splitOpt = app->add_option("--split", split);
    app->add_option("--seed", o->seed)->check(Whole(0, UINT64_MAX, "a number"));
    mismatchOpt = app->add_option("--mismatch", mismatch)->check(CLI::IsMember({"garble", "warn"}));
    app->add_option("--pcap", o->pcapPath)->check(NotEmpty());
}

bool LinkOptionSet::Take(Options* o, std::string* error) const {
    if (mismatchOpt->count() > 0) {
        o->mismatchWarn = mismatch == "warn";
    }
    // Each value as a number, its range left to the rule; what is no number is
    // told what the rule would tell it.
    FaultSettings& f = o->faults;
    const FaultNames& names = kOptionNames;
    constexpr double kFar = 1e12;
    std::uint64_t gap = 0;
    if (dropOpt->count() > 0 && !ParseReal(drop, -kFar, kFar, &f.dropPct)) {
        *error = std::string(names.drop) + " needs " + kPercentNeeds;
    } else if (corruptOpt->count() > 0 && !ParseReal(corrupt, -kFar, kFar, &f.corruptPct)) {
        *error = std::string(names.corrupt) + " needs " + kPercentNeeds;
    } else if (delayOpt->count() > 0 && !ParseDelay(delay, &f)) {
        *error = std::string(names.delay) + " needs " + kDelayNeeds;
    } else if (splitOpt->count() > 0 && split != "-1" && !ParseUnsigned(split, 0, 10 * kMaxFaultMs, &gap)) {
        *error = std::string(names.split) + " needs " + kFaultMsNeeds;
    } else {
        if (splitOpt->count() > 0) {
            f.splitGapMs = split == "-1" ? -1 : static_cast<int>(gap);
        }
        *error = FaultSettingsFault(f, names);
    }
    return error->empty();
}

}  // namespace zolhost
