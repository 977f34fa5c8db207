// The benchmark's reports: text (figures, histograms, ratios against the
// baselines) and JSON.
#pragma once

#include <string>
#include <vector>

#include "host/bench/bench.h"
#include "host/bench/bench.h"

namespace zolhost {

// A target that was not measured, and why.
struct Skipped {
    std::string name;
    std::string reason;
};

// The first target is compared with each of the others. Its figures, and those in
// the comparison, are the median of the rounds (TargetResult::Summary).
std::string BenchText(const BenchConfig& o, const std::vector<TargetResult>& targets,
                      const std::vector<Skipped>& skipped = {});
std::string BenchJson(const BenchConfig& o, const std::vector<TargetResult>& targets,
                      const std::vector<Skipped>& skipped = {});

}  // namespace zolhost
