// The tools on a pseudo-terminal: the shell's line editing and history, the end of input by
// Ctrl-D, and the demo's progress bar, which takes cursor control only where the terminal does.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// One program on the master side of a new pseudo-terminal, its standard streams on the slave.
class TerminalRun {
  public:
    TerminalRun(std::vector<std::string> arguments, const char* term) {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            setenv("TERM", term, 1);
            std::vector<char*> argv;
            for (std::string& argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~TerminalRun() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }

    bool started() const { return pid_ > 0; }
    void type(const std::string& keys) {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // True once `text` has appeared after what an earlier wait found.
    bool waitFor(const std::string& text, std::chrono::milliseconds limit = 20s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (const auto at = screen_.find(text, searched_); at != std::string::npos) {
                searched_ = at + text.size();
                return true;
            }
            if (std::chrono::steady_clock::now() >= end || !readSome(end)) return false;
        }
    }

    // Reads until the program ends; its exit code, -1 if it did not end in time.
    int exitCode(std::chrono::milliseconds limit = 30s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (readSome(end)) {
        }
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) return -1;
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& screen() const { return screen_; }

  private:
    // False at the end of the output (the slave side closed) or at the limit.
    bool readSome(std::chrono::steady_clock::time_point end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd ready{master_, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[4096];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) return false;
        screen_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string screen_;
    std::size_t searched_ = 0;
};

std::filesystem::path freshRoot(const std::string& name) {
    const auto root = std::filesystem::temp_directory_path() /
                      ("kest-terminal-" + name + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    return root;
}

struct Shell {
    std::vector<std::string> arguments;
    std::string prompt;
    std::string line;    // typed, then recalled
    std::string result;  // what it prints
    int exitCode;
};

// The Up arrow brings back the line before, in both shells, and Ctrl-D ends the shell on a
// line of its own.
TEST(TerminalShell, UpArrowRecallsTheLineBeforeAndCtrlDEndsTheLine) {
    const auto root = freshRoot("shell");
    const Shell shells[] = {
        {{KEST_PROGRAM, "--quiet", "--no-peripheral", "--root", root.string(), "shell"},
         "kest> ", "timeout", "result: timeout 0 seconds=", 0},
        {{DRX_PROGRAM, "shell"}, "drx> ", "close 1", "result: close 6 error=ERROR_INVALID_HANDLE", 1},
    };
    for (const Shell& shell : shells) {
        TerminalRun run(shell.arguments, "xterm");
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(run.waitFor(shell.prompt)) << run.screen();
        run.type(shell.line + "\r");
        ASSERT_TRUE(run.waitFor(shell.result)) << run.screen();
        ASSERT_TRUE(run.waitFor(shell.prompt)) << run.screen();
        run.type("\x1b[A\r");
        EXPECT_TRUE(run.waitFor(shell.result)) << run.screen();
        ASSERT_TRUE(run.waitFor(shell.prompt)) << run.screen();
        run.type("\x04");
        EXPECT_EQ(run.exitCode(), shell.exitCode) << run.screen();
        EXPECT_EQ(run.screen().find("unknown command"), std::string::npos) << run.screen();
        EXPECT_TRUE(run.screen().ends_with("\n")) << run.screen();
    }
    std::filesystem::remove_all(root);
}

// A step that fails while the bar is shown is reported on a line of its own.
TEST(TerminalDemo, AFailedStepIsReportedOnALineOfItsOwnNotOnTheBar) {
    const auto root = freshRoot("bar");
    TerminalRun run({KEST_PROGRAM, "--quiet", "--root", root.string(), "--peripheral",
                     "vanishing_port", "demo"},
                    "xterm");
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.exitCode(), 1) << run.screen();
    EXPECT_NE(run.screen().find("\x1b[Kdownload ["), std::string::npos) << run.screen();
    EXPECT_NE(run.screen().find("\nkest: demo: step 'open 1 1 10' did not succeed"),
              std::string::npos)
        << run.screen();
    std::filesystem::remove_all(root);
}

// On a terminal without cursor control the progress comes as lines, and nothing moves the
// cursor.
TEST(TerminalDemo, NoCursorControlOnADumbTerminal) {
    const auto root = freshRoot("dumb");
    TerminalRun run({KEST_PROGRAM, "--quiet", "--root", root.string(), "demo"}, "dumb");
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.exitCode(), 0) << run.screen();
    EXPECT_NE(run.screen().find("progress: 1016/1016 bytes"), std::string::npos) << run.screen();
    EXPECT_EQ(run.screen().find('\x1b'), std::string::npos) << run.screen();
    std::filesystem::remove_all(root);
}

}  // namespace
