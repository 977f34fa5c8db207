// zolhost bench: the targets, their rounds and turns, and the report.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/bench/bench.h"
#include "host/bench/bench_report.h"
#include "host/bench/bench_targets.h"
#include "host/base/outcome.h"
#include "host/base/text.h"
#include "host/process/emulator_process.h"
#include "host/base/system.h"

namespace zolhost {

int RunBenchCommand(const BenchConfig& o, Channel* device, const std::string& where) {
    std::vector<std::unique_ptr<Target>> targetsToRun;
    std::vector<Skipped> skipped;
    if (o.spawn) {
        std::string error;
        const std::string exe = FindEmulator(o.deviceExe, &error);
        if (exe.empty()) {
            Say(error);
            return kExitCheckFailed;
        }
        targetsToRun.push_back(std::make_unique<Target>(Target::Kind::Emulator, o, exe));
    } else {
        targetsToRun.push_back(
            std::make_unique<Target>(*device, o, o.deviceIsEmulator ? "zolemul" : "device", where));
    }
    if (o.baseline) {
        targetsToRun.push_back(std::make_unique<Target>(Target::Kind::Responder, o));
        targetsToRun.push_back(std::make_unique<Target>(Target::Kind::ResponderText, o));
        std::string why;
        const std::string python = FindPyserial(&why);
        if (!python.empty()) {
            targetsToRun.push_back(std::make_unique<Target>(Target::Kind::Pyserial, o, python));
        } else {
            skipped.push_back({"pyserial", why});
            Say("the pyserial baseline is skipped: " + why);
        }
    }
    std::vector<TargetResult> totals(targetsToRun.size());
    for (std::size_t k = 0; k < targetsToRun.size(); ++k) {
        totals[k].name = targetsToRun[k]->Name();
        totals[k].where = targetsToRun[k]->Where();
    }

    // A device zolhost starts runs alone: each target takes its whole turn in a
    // round, started afresh and ended after, so that zolemul's busy loop does not
    // share the machine with the baselines. Otherwise every target stays up for
    // the whole run and they take turns in blocks within each round.
    const bool turns = o.spawn;
    std::string error;
    if (!turns) {
        for (auto& c : targetsToRun) {
            if (!c->Begin(&error)) {
                Say(error);
                return kExitCheckFailed;
            }
        }
    }
    Progress progress;
    for (std::uint32_t r = 0; r < o.rounds && !StopRequested(); ++r) {
        const std::string label = o.rounds > 1 ? "round " + std::to_string(r + 1) + "/" + std::to_string(o.rounds) + " " : "";
        std::vector<std::size_t> now;  // the targets in this round: those with no failure so far
        for (std::size_t k = 0; k < targetsToRun.size(); ++k) {
            if (totals[k].Ok()) {
                now.push_back(k);
            }
        }
        if (turns) {
            for (std::size_t k : now) {
                Target& c = *targetsToRun[k];
                if (!c.Begin(&error)) {
                    totals[k].failure = error;
                    c.End(&error);
                    continue;
                }
                const auto round = RunBench({{c.Name(), c.Where(), &c.Link(), c.Console()}}, o, &progress, label + c.Name() + " ");
                AddRound(&totals[k], round[0]);
                if (!c.End(&error) && totals[k].failure.empty()) {
                    totals[k].failure = error;
                }
                if (StopRequested()) {
                    break;
                }
            }
        } else {
            std::vector<TargetLink> targets;
            for (std::size_t k : now) {
                targets.push_back({targetsToRun[k]->Name(), targetsToRun[k]->Where(), &targetsToRun[k]->Link(), targetsToRun[k]->Console()});
            }
            const auto round = RunBench(targets, o, &progress, label);
            for (std::size_t i = 0; i < now.size(); ++i) {
                AddRound(&totals[now[i]], round[i]);
            }
        }
    }
    if (!turns) {
        for (auto& c : targetsToRun) {
            c->End(&error);
        }
    }
    for (TargetResult& t : totals) {
        if (t.rounds.empty() && t.failure.empty()) {
            t.failure = "interrupted before its turn";
        }
    }
    const std::string report = o.json ? BenchJson(o, totals, skipped) : BenchText(o, totals, skipped);
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
    for (const TargetResult& t : totals) {
        if (!t.Ok()) {
            return kExitCheckFailed;
        }
    }
    return kExitGood;
}

}  // namespace zolhost
