// Runs the registered benchmarks, then compares each subject with the baseline measured in the
// same run: benchmarks named "NAME/subject" and "NAME/baseline" form a pair.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions the median of a benchmark's runs stands for it; without, its run.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!median && (run.run_type != Run::RT_Iteration || run.iterations == 0)) continue;
            const std::string& name = run.run_name.function_name;
            const auto slash = name.find('/');
            if (slash == std::string::npos) continue;
            Side& side = pairs_[name.substr(0, slash)][name.substr(slash + 1)];
            if (side.isMedian && !median) continue;
            side = {run.GetAdjustedRealTime(), median};
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nRatios against the baseline of the same run (time per iteration%s):\n",
                    anyMedian() ? ", medians of the repetitions" : "");
        for (const auto& [name, sides] : pairs_) {
            const auto subject = sides.find("subject");
            const auto baseline = sides.find("baseline");
            if (subject == sides.end() || baseline == sides.end() || baseline->second.time <= 0)
                continue;
            std::printf("  %-32s %.3fx the baseline\n", name.c_str(),
                        subject->second.time / baseline->second.time);
        }
    }

private:
    struct Side {
        double time = 0;
        bool isMedian = false;
    };

    bool anyMedian() const {
        for (const auto& [name, sides] : pairs_)
            for (const auto& [label, side] : sides)
                if (side.isMedian) return true;
        return false;
    }

    std::map<std::string, std::map<std::string, Side>> pairs_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
