// Counters for GET /metrics, in the Prometheus text exposition format.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace tools {

inline void AppendMetric(std::string& out, const std::string& name, const char* type, const char* help,
                         const std::vector<std::pair<std::string, uint64_t>>& samples) {
    out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (const auto& s : samples) out += name + s.first + " " + std::to_string(s.second) + "\n";
}

inline void AppendMetric(std::string& out, const std::string& name, const char* type, const char* help,
                         uint64_t value) {
    AppendMetric(out, name, type, help, {{"", value}});
}

inline std::string Label(const char* name, const std::string& value) {
    return std::string("{") + name + "=\"" + value + "\"}";
}

// Seconds into buckets; safe to observe from any thread.
class Histogram {
public:
    static constexpr double kBounds[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
    static constexpr size_t kBuckets = sizeof kBounds / sizeof kBounds[0];

    void Observe(double seconds) {
        for (size_t i = 0; i < kBuckets; ++i)
            if (seconds <= kBounds[i]) ++m_counts[i];
        ++m_count;
        m_micros += static_cast<uint64_t>(seconds * 1e6);
    }

    void Append(std::string& out, const std::string& name, const char* help) const {
        out += "# HELP " + name + " " + help + "\n# TYPE " + name + " histogram\n";
        char le[32];
        for (size_t i = 0; i < kBuckets; ++i) {
            std::snprintf(le, sizeof le, "%g", kBounds[i]);
            out += name + "_bucket{le=\"" + le + "\"} " + std::to_string(m_counts[i]) + "\n";
        }
        const uint64_t count = m_count;
        out += name + "_bucket{le=\"+Inf\"} " + std::to_string(count) + "\n";
        std::snprintf(le, sizeof le, "%.6f", static_cast<double>(m_micros) / 1e6);
        out += name + "_sum " + le + "\n" + name + "_count " + std::to_string(count) + "\n";
    }

private:
    std::atomic<uint64_t> m_counts[kBuckets] = {};
    std::atomic<uint64_t> m_count{0}, m_micros{0};
};

}  // namespace tools
