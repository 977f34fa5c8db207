// The benchmark's reports: text (figures, histograms, ratios against the
// baselines) and JSON.
#pragma once

#include <string>
#include <vector>

#include "host/bench.h"
#include "host/options.h"

namespace zolhost {

std::string BenchText(const Options& o, const std::vector<TargetResult>& targets);
std::string BenchJson(const Options& o, const std::vector<TargetResult>& targets);

}  // namespace zolhost
