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
    delayOpt = app->add_option("--delay", delay);
    app->add_option("--drop", o->faults.dropPct)->check(Real(0, 100, kPercentNeeds));
    app->add_option("--corrupt", o->faults.corruptPct)->check(Real(0, 100, kPercentNeeds));
    app->add_option("--split", o->faults.splitGapMs)->check(Whole(0, kMaxFaultMs, kFaultMsNeeds));
    app->add_option("--seed", o->seed)->check(Whole(0, UINT64_MAX, "a number"));
    mismatchOpt = app->add_option("--mismatch", mismatch)->check(CLI::IsMember({"garble", "warn"}));
    app->add_option("--pcap", o->pcapPath)->check(NotEmpty());
}

bool LinkOptionSet::Take(Options* o, std::string* error) const {
    if (mismatchOpt->count() > 0) {
        o->mismatchWarn = mismatch == "warn";
    }
    if (delayOpt->count() > 0 && !ParseDelay(delay, &o->faults)) {
        *error = std::string("--delay needs ") + kDelayNeeds;
    } else if (std::string fault = FaultSettingsFault(o->faults, "--"); !fault.empty()) {
        *error = fault;
    } else {
        return true;
    }
    return false;
}

}  // namespace zolhost
