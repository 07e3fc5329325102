// The figures wire_bench prints: medians with their range, ratios of the medians with the range
// of the ratios of the runs taken side by side, rates.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace wire_bench {

double Median(std::vector<double> values);
// "median (lowest-highest)" of the rates, in MB/s.
std::string Rates(const std::vector<double>& values);
// The ratio of the medians, then the range of the ratios of the runs taken side by side.
std::string Ratio(const std::vector<double>& install, const std::vector<double>& client);
double MBps(std::size_t bytes, double ms);

} // namespace wire_bench
