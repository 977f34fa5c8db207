#include "host/cli/option_values.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "host/cli/options.h"

namespace zolhost {

bool ParseUnsigned(const std::string& s, std::uint64_t lo, std::uint64_t hi, std::uint64_t* v) {
    if (s.empty() || s[0] < '0' || s[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long x = std::strtoull(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || x < lo || x > hi) {
        return false;
    }
    *v = x;
    return true;
}

bool ParseReal(const std::string& s, double lo, double hi, double* v) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double x = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(x) || x < lo || x > hi) {
        return false;
    }
    *v = x;
    return true;
}

bool ParseDelay(const std::string& s, FaultSettings* f) {
    const std::size_t dash = s.find('-');
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    if (dash == std::string::npos) {
        if (!ParseUnsigned(s, 0, 60000, &lo)) return false;
        hi = lo;
    } else if (!ParseUnsigned(s.substr(0, dash), 0, 60000, &lo) || !ParseUnsigned(s.substr(dash + 1), lo, 60000, &hi)) {
        return false;
    }
    f->delayMinMs = static_cast<int>(lo);
    f->delayMaxMs = static_cast<int>(hi);
    return true;
}

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
            std::uint64_t v = 0;
            return s == "0" || ParseUnsigned(s, 50, 4000000, &v)
                       ? std::string()
                       : std::string("needs a baud rate (50-4000000, or 0: no pacing)");
        },
        "");
}

void LinkOptionSet::AddTo(CLI::App* app, Options* o) {
    delayOpt = app->add_option("--delay", delay);
    app->add_option("--drop", o->faults.dropPct)->check(Real(0, 100, "a percentage (0-100)"));
    app->add_option("--corrupt", o->faults.corruptPct)->check(Real(0, 100, "a percentage (0-100)"));
    app->add_option("--split", o->faults.splitGapMs)->check(Whole(0, 60000, "milliseconds (0-60000)"));
    app->add_option("--seed", o->seed)->check(Whole(0, UINT64_MAX, "a number"));
    mismatchOpt = app->add_option("--mismatch", mismatch)->check(CLI::IsMember({"garble", "warn"}));
    app->add_option("--pcap", o->pcapPath)->check(NotEmpty());
}

bool LinkOptionSet::Take(Options* o, std::string* error) const {
    if (mismatchOpt->count() > 0) {
        o->mismatchWarn = mismatch == "warn";
    }
    if (delayOpt->count() > 0 && !ParseDelay(delay, &o->faults)) {
        *error = "--delay needs milliseconds, MS or MIN-MAX (0-60000)";
    } else if (o->faults.dropPct + o->faults.corruptPct > 100) {
        *error = "--drop and --corrupt share the replies: together at most 100%";
    } else {
        return true;
    }
    return false;
}

}  // namespace zolhost
