// The tools on a pseudo-terminal: the shell's line editing and history, Ctrl-D, and the demo's
// progress bar, which takes cursor control only where the terminal does.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// One program with its standard streams on a new pseudo-terminal.
class TerminalRun {
  public:
    TerminalRun(std::vector<std::string> arguments, const char* term) {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ != 0) return;
        setenv("TERM", term, 1);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ~TerminalRun() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(master_);
    }

    // Types once the line editor reads key by key: keys typed ahead into the terminal's line
    // buffer (a Ctrl-D there above all) are not what a person at the prompt types.
    void type(const std::string& keys) {
        termios mode{};
        for (int waited = 0; waited < 2000; ++waited, usleep(10000))
            if (tcgetattr(master_, &mode) == 0 && (mode.c_lflag & ICANON) == 0) break;
        ASSERT_GT(write(master_, keys.data(), keys.size()), 0);
    }
    // True once `text` has appeared after what the last wait found; waits up to 20 s.
    bool waitFor(const std::string& text) {
        for (;;) {
            if (const auto at = screen_.find(text, searched_); at != std::string::npos) {
                searched_ = at + text.size();
                return true;
            }
            if (!readSome()) return false;
        }
    }
    // Reads until the program ends: its exit code; -1 when it has not ended 20 s after its
    // output did.
    int exitCode() {
        while (readSome()) {
        }
        int status = 0;
        for (int waited = 0; waited < 2000 && !exited_; ++waited) {
            exited_ = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!exited_) usleep(10000);
        }
        return exited_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& screen() const { return screen_; }

  private:
    bool readSome() {
        pollfd ready{master_, POLLIN, 0};
        char buffer[4096];
        if (poll(&ready, 1, 20000) <= 0) return false;
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) screen_.append(buffer, static_cast<std::size_t>(n));
        return n > 0;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string screen_;
    std::size_t searched_ = 0;
};

const std::string kRoot = "/tmp/kest-terminal-" + std::to_string(getpid());

class Terminal : public ::testing::Test {
    void TearDown() override { std::filesystem::remove_all(kRoot); }
};

// Up brings back the line before, in both shells; Ctrl-D ends the shell on a line of its own.
TEST_F(Terminal, UpArrowRecallsTheLineBeforeAndCtrlDEndsTheLine) {
    struct Shell {
        std::vector<std::string> arguments;
        std::string prompt, line, result;
        int exitCode;
    };
    const Shell shells[] = {
        {{KEST_PROGRAM, "--quiet", "--no-peripheral", "--root", kRoot, "shell"},
         "kest> ",
         "timeout",
         "result: timeout 0 seconds=",
         0},
        {{DRX_PROGRAM, "shell"},
         "drx> ",
         "close 1",
         "result: close 6 error=ERROR_INVALID_HANDLE",
         1},
    };
    for (const Shell& shell : shells) {
        TerminalRun run(shell.arguments, "xterm");
        ASSERT_TRUE(run.waitFor(shell.prompt)) << run.screen();
        run.type(shell.line + "\r");
        ASSERT_TRUE(run.waitFor(shell.result) && run.waitFor(shell.prompt)) << run.screen();
        run.type("\x1b[A\r");
        EXPECT_TRUE(run.waitFor(shell.result) && run.waitFor(shell.prompt)) << run.screen();
        run.type("\x04");
        EXPECT_EQ(run.exitCode(), shell.exitCode) << run.screen();
        EXPECT_EQ(run.screen().find("unknown command"), std::string::npos) << run.screen();
        EXPECT_TRUE(run.screen().ends_with("\n")) << run.screen();
    }
}

// A step that fails while the bar is shown is reported on a line of its own.
TEST_F(Terminal, AFailedStepIsReportedOnALineOfItsOwnNotOnTheBar) {
    TerminalRun run(
        {KEST_PROGRAM, "--quiet", "--root", kRoot, "--peripheral", "vanishing_port", "demo"},
        "xterm");
    EXPECT_EQ(run.exitCode(), 1) << run.screen();
    EXPECT_NE(run.screen().find("\x1b[Kdownload ["), std::string::npos) << run.screen();
    EXPECT_NE(run.screen().find("\nkest: demo: step 'open 1 1 10' did not succeed"),
              std::string::npos)
        << run.screen();
}

// Without cursor control the progress comes as lines, and nothing moves the cursor.
TEST_F(Terminal, NoCursorControlOnADumbTerminal) {
    TerminalRun run({KEST_PROGRAM, "--quiet", "--root", kRoot, "demo"}, "dumb");
    EXPECT_EQ(run.exitCode(), 0) << run.screen();
    EXPECT_NE(run.screen().find("progress: 1016/1016 bytes"), std::string::npos) << run.screen();
    EXPECT_EQ(run.screen().find('\x1b'), std::string::npos) << run.screen();
}

}  // namespace
