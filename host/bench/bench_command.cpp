// zolhost bench: the targets, their rounds and turns, and the report.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/bench/bench.h"
#include "host/bench/bench_report.h"
#include "host/bench/bench_targets.h"
#include "host/cli/commands.h"
#include "host/process/system.h"

namespace zolhost {

int RunBenchCommand(const Options& o, Channel* device, const std::string& where) {
    std::vector<std::unique_ptr<Contender>> contenders;
    std::vector<Skipped> skipped;
    if (o.spawn) {
        std::string error;
        const std::string exe = FindEmulator(o.deviceExe, &error);
        if (exe.empty()) {
            Say(error);
            return kExitCheckFailed;
        }
        contenders.push_back(std::make_unique<Contender>(Contender::Kind::Emulator, o, exe));
    } else {
        contenders.push_back(
            std::make_unique<Contender>(*device, o, o.device == DeviceKind::Virtual ? "zolemul" : "device", where));
    }
    if (o.baseline) {
        contenders.push_back(std::make_unique<Contender>(Contender::Kind::Responder, o));
        contenders.push_back(std::make_unique<Contender>(Contender::Kind::ResponderText, o));
        std::string why;
        const std::string python = FindPyserial(&why);
        if (!python.empty()) {
            contenders.push_back(std::make_unique<Contender>(Contender::Kind::Pyserial, o, python));
        } else {
            skipped.push_back({"pyserial", why});
            Say("the pyserial baseline is skipped: " + why);
        }
    }
    std::vector<TargetResult> totals(contenders.size());
    for (std::size_t k = 0; k < contenders.size(); ++k) {
        totals[k].name = contenders[k]->Name();
        totals[k].where = contenders[k]->Where();
    }

    // A device zolhost starts runs alone: each target takes its whole turn in a
    // round, started afresh and ended after, so that zolemul's busy loop does not
    // share the machine with the baselines. Otherwise every target stays up for
    // the whole run and they take turns in blocks within each round.
    const bool turns = o.spawn;
    std::string error;
    if (!turns) {
        for (auto& c : contenders) {
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
        for (std::size_t k = 0; k < contenders.size(); ++k) {
            if (totals[k].Ok()) {
                now.push_back(k);
            }
        }
        if (turns) {
            for (std::size_t k : now) {
                Contender& c = *contenders[k];
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
            std::vector<BenchTarget> targets;
            for (std::size_t k : now) {
                targets.push_back({contenders[k]->Name(), contenders[k]->Where(), &contenders[k]->Link(), contenders[k]->Console()});
            }
            const auto round = RunBench(targets, o, &progress, label);
            for (std::size_t i = 0; i < now.size(); ++i) {
                AddRound(&totals[now[i]], round[i]);
            }
        }
    }
    if (!turns) {
        for (auto& c : contenders) {
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
