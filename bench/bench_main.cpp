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
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            const std::string name = run.benchmark_name();
            const auto slash = name.find('/');
            if (slash == std::string::npos) continue;
            const auto end = name.find('/', slash + 1);
            pairs_[name.substr(0, slash)][name.substr(slash + 1, end - slash - 1)] =
                run.GetAdjustedRealTime();
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nRatios against the baseline of the same run (time per iteration):\n");
        for (const auto& [name, sides] : pairs_) {
            const auto subject = sides.find("subject");
            const auto baseline = sides.find("baseline");
            if (subject == sides.end() || baseline == sides.end() || baseline->second <= 0) continue;
            std::printf("  %-32s %.2fx the baseline\n", name.c_str(),
                        subject->second / baseline->second);
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> pairs_;
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
