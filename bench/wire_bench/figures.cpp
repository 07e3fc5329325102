#include "bench/wire_bench/figures.h"

#include <algorithm>
#include <cstdio>

namespace wire_bench {

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Rates(const std::vector<double>& values) {
    if (values.empty())
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.1f (%.1f-%.1f)", Median(values),
                  *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end()));
    return text;
}

std::string Ratio(const std::vector<double>& install, const std::vector<double>& client) {
    const double a = Median(install), b = Median(client);
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", b > 0 ? a / b : 0);
    std::string out = text;
    if (install.size() == client.size() && install.size() > 1) {
        std::vector<double> pairs;
        for (std::size_t i = 0; i < install.size(); ++i)
            pairs.push_back(install[i] / client[i]);
        std::snprintf(text, sizeof text, " (%.2f-%.2f)",
                      *std::min_element(pairs.begin(), pairs.end()),
                      *std::max_element(pairs.begin(), pairs.end()));
        out += text;
    }
    return out;
}

double MBps(std::size_t bytes, double ms) {
    return ms > 0 ? bytes / ms / 1000.0 : 0;
}

} // namespace wire_bench
