// A console reporter that also prints each benchmark's rate as a ratio to
// a baseline benchmark measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

class RtRatioReporter : public benchmark::ConsoleReporter {
public:
    // Pairs of (benchmark, its baseline), by full benchmark name.
    explicit RtRatioReporter(std::vector<std::pair<std::string, std::string>> aPairs) : m_Pairs(std::move(aPairs)) {}

    void ReportRuns(const std::vector<Run>& aRuns) override {
        ConsoleReporter::ReportRuns(aRuns);
        for (const Run& run : aRuns) {
            if (run.run_type != Run::RT_Iteration)
                continue;
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end())
                m_Rates[run.benchmark_name()] = it->second.value;
            m_Times[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
    }

    void PrintRatios() const {
        printf("\nratios to the baseline measured in the same run (rate: >1 is faster; time: <1 is faster)\n");
        for (const auto& [name, base] : m_Pairs) {
            auto rate = m_Rates.find(name), baseRate = m_Rates.find(base);
            if (rate != m_Rates.end() && baseRate != m_Rates.end() && baseRate->second > 0) {
                printf("  %-40s %14.0f/s vs %-32s %14.0f/s  rate ratio %.2f\n", name.c_str(), rate->second,
                       base.c_str(), baseRate->second, rate->second / baseRate->second);
                continue;
            }
            auto time = m_Times.find(name), baseTime = m_Times.find(base);
            if (time != m_Times.end() && baseTime != m_Times.end() && baseTime->second > 0)
                printf("  %-40s %12.0f ns vs %-32s %12.0f ns  time ratio %.2f\n", name.c_str(), time->second,
                       base.c_str(), baseTime->second, time->second / baseTime->second);
        }
    }

private:
    std::vector<std::pair<std::string, std::string>> m_Pairs;
    std::map<std::string, double> m_Rates;
    std::map<std::string, double> m_Times;
};
