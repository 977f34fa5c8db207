// zolhost bench: the targets, their rounds and turns, and the report.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/base/outcome.h"
#include "host/base/text.h"
#include "host/bench/bench.h"
#include "host/bench/bench_report.h"
#include "host/bench/bench_targets.h"
#include "host/process/emulator_process.h"
#include "host/system/system.h"

namespace zolhost {

namespace {

using Targets = std::vector<std::unique_ptr<Target>>;

// The device (on the link given, or zolemul started by zolhost) and, when asked
// for, the baselines; a baseline that cannot run here is skipped with a word why.
// false when the device itself cannot be run.
bool ChooseTargets(const BenchConfig& o, Channel* device, const std::string& where, Targets* targets,
                   std::vector<Skipped>* skipped) {
    if (o.spawn) {
        std::string error;
        const std::string exe = FindEmulator(o.deviceExe, &error);
        if (exe.empty()) {
            Say(error);
            return false;
        }
        targets->push_back(std::make_unique<Target>(Target::Kind::Emulator, o, exe));
    } else {
        targets->push_back(std::make_unique<Target>(*device, o, o.deviceIsEmulator ? "zolemul" : "device", where));
    }
    if (o.baseline) {
        targets->push_back(std::make_unique<Target>(Target::Kind::Responder, o));
        targets->push_back(std::make_unique<Target>(Target::Kind::ResponderText, o));
        std::string why;
        const std::string python = FindPyserial(&why);
        if (!python.empty()) {
            targets->push_back(std::make_unique<Target>(Target::Kind::Pyserial, o, python));
        } else {
            skipped->push_back({"pyserial", why});
            Say("the pyserial baseline is skipped: " + why);
        }
    }
    return true;
}

TargetLink LinkOf(Target& t) {
    return {t.Name(), t.Where(), &t.Link(), t.Console()};
}

// One round where each target takes its whole turn alone, started afresh and
// ended after.
void RoundInTurns(const Targets& targets, const std::vector<std::size_t>& now, const BenchConfig& o,
                  Progress* progress, const std::string& label, std::vector<TargetResult>* totals) {
    std::string error;
    for (std::size_t k : now) {
        Target& c = *targets[k];
        TargetResult& total = (*totals)[k];
        if (!c.Begin(&error)) {
            total.failure = error;
            c.End(&error);
            continue;
        }
        const auto round = RunBench({LinkOf(c)}, o, progress, label + c.Name() + " ");
        AddRound(&total, round[0]);
        if (!c.End(&error) && total.failure.empty()) {
            total.failure = error;
        }
        if (StopRequested()) {
            break;
        }
    }
}

// One round where the targets, all up, take turns in blocks.
void RoundTogether(const Targets& targets, const std::vector<std::size_t>& now, const BenchConfig& o,
                   Progress* progress, const std::string& label, std::vector<TargetResult>* totals) {
    std::vector<TargetLink> links;
    for (std::size_t k : now) {
        links.push_back(LinkOf(*targets[k]));
    }
    const auto round = RunBench(links, o, progress, label);
    for (std::size_t i = 0; i < now.size(); ++i) {
        AddRound(&(*totals)[now[i]], round[i]);
    }
}

// The rounds, until all are run or a stop is asked for.
void RunRounds(const Targets& targets, const BenchConfig& o, bool turns, std::vector<TargetResult>* totals) {
    Progress progress;
    for (std::uint32_t r = 0; r < o.rounds && !StopRequested(); ++r) {
        const std::string label = o.rounds > 1 ? "round " + std::to_string(r + 1) + "/" + std::to_string(o.rounds) + " " : "";
        std::vector<std::size_t> now;  // the targets in this round: those with no failure so far
        for (std::size_t k = 0; k < targets.size(); ++k) {
            if ((*totals)[k].Ok()) {
                now.push_back(k);
            }
        }
        if (turns) {
            RoundInTurns(targets, now, o, &progress, label, totals);
        } else {
            RoundTogether(targets, now, o, &progress, label, totals);
        }
    }
}

// Prints the report; the exit status: good when every target did well.
int Report(const BenchConfig& o, std::vector<TargetResult>* totals, const std::vector<Skipped>& skipped) {
    for (TargetResult& t : *totals) {
        if (t.rounds.empty() && t.failure.empty()) {
            t.failure = "interrupted before its turn";
        }
    }
    const std::string report = o.json ? BenchJson(o, *totals, skipped) : BenchText(o, *totals, skipped);
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
    for (const TargetResult& t : *totals) {
        if (!t.Ok()) {
            return kExitCheckFailed;
        }
    }
    return kExitGood;
}

}  // namespace

int RunBenchCommand(const BenchConfig& o, Channel* device, const std::string& where) {
    Targets targets;
    std::vector<Skipped> skipped;
    if (!ChooseTargets(o, device, where, &targets, &skipped)) {
        return kExitCheckFailed;
    }
    std::vector<TargetResult> totals(targets.size());
    for (std::size_t k = 0; k < targets.size(); ++k) {
        totals[k].name = targets[k]->Name();
        totals[k].where = targets[k]->Where();
    }

    // A device zolhost starts runs alone: each target takes its whole turn in a
    // round, started afresh and ended after, so that zolemul's busy loop does not
    // share the machine with the baselines. Otherwise every target stays up for
    // the whole run and they take turns in blocks within each round.
    const bool turns = o.spawn;
    std::string error;
    if (!turns) {
        for (auto& c : targets) {
            if (!c->Begin(&error)) {
                Say(error);
                return kExitCheckFailed;
            }
        }
    }
    RunRounds(targets, o, turns, &totals);
    if (!turns) {
        for (auto& c : targets) {
            c->End(&error);
        }
    }
    return Report(o, &totals, skipped);
}

}  // namespace zolhost
