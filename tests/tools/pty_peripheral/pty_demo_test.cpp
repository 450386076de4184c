// `kest demo` over two mapped ttys, the way a user with a peripheral of their own runs it: every
// step must pass, the disable's power cycle included, though the peripheral's data port takes
// its time to go at power-off and to come back at power-on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pty_peripheral.h"

extern char** environ;

namespace {

using ::testing::HasSubstr;

struct KestRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error
};

KestRun runKest(const std::vector<std::string>& arguments) {
    KestRun run;
    int pipe[2];
    if (::pipe(pipe) != 0) return run;
    std::vector<std::string> words{KEST_PROGRAM};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe[0]);
    pid_t child = -1;
    const bool spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) run.output.append(buffer, n);
    ::close(pipe[0]);
    int status = 0;
    if (spawned && ::waitpid(child, &status, 0) == child && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
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
        const KestRun run = runKest({"--no-peripheral", "--root", root.string(), "--serial",
                                 "COM1:=" + peripheral.powerPath(), "--serial",
                                 "COM5:=" + peripheral.dataPath().string(), "demo"});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        // The disable's power cycle found the data port again.
        EXPECT_THAT(run.output, HasSubstr("result: wait-state 0 state=4"));
        EXPECT_THAT(run.output, HasSubstr("result: wait-state 0 state=1"));
        EXPECT_EQ(peripheral.powerCycles(), 2u);
        EXPECT_EQ(peripheral.activations(), std::vector<std::uint8_t>{3});

        std::ifstream file(root / "QUOX" / "RUV" / "ptycal.bin", std::ios::binary);
        const std::vector<std::uint8_t> stored{std::istreambuf_iterator<char>(file),
                                               std::istreambuf_iterator<char>()};
        const std::vector<std::uint8_t> stream = pty_test::PtyPeripheral::content();
        EXPECT_EQ(stored, std::vector<std::uint8_t>(stream.begin() + 16, stream.end()));
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
