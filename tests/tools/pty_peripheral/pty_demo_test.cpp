// `kest demo` over two mapped ttys, the way a user with a peripheral of their own runs it: every
// step must pass, the disable's power cycle included, though the peripheral's data port takes
// its time to go at power-off and to come back at power-on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pty_peripheral.h"

namespace {

using ::testing::HasSubstr;

struct KestRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error
};

// The paths in `arguments` are the test's own, without quotes or spaces.
KestRun runKest(const std::string& arguments) {
    KestRun run;
    FILE* out = ::popen(("'" KEST_PROGRAM "' " + arguments + " 2>&1").c_str(), "r");
    if (out == nullptr) return run;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
        run.output.append(buffer, n);
    const int status = ::pclose(out);
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

TEST(PtyPeripheralDemo, PassesEveryStepDisableIncluded) {
    char pattern[] = "/tmp/kest-pty-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path folder = pattern;
    {
        pty_test::PtyPeripheral peripheral(folder);
        ASSERT_FALSE(peripheral.powerPath().empty());
        const std::filesystem::path root = folder / "ce-root";
        const KestRun run = runKest("--no-peripheral --root " + root.string() +
                                    " --serial COM1:=" + peripheral.powerPath() +
                                    " --serial COM5:=" + peripheral.dataPath().string() + " demo");
        EXPECT_EQ(run.exitCode, 0) << run.output;
        // The disable's power cycle found the data port again.
        EXPECT_THAT(run.output, HasSubstr("result: wait-state 0 state=4"));
        EXPECT_THAT(run.output, HasSubstr("result: wait-state 0 state=1"));
        EXPECT_EQ(peripheral.powerCycles(), 2u);
        EXPECT_EQ(peripheral.activations(), std::vector<std::uint8_t>{3});

        std::ifstream file(root / "QUOX" / "RUV" / "ptycal.bin", std::ios::binary);
        const std::vector<std::uint8_t> stored{std::istreambuf_iterator<char>(file),
                                               std::istreambuf_iterator<char>()};
        EXPECT_EQ(stored, pty_test::PtyPeripheral::file().content);
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
