// Command lines against the library with nothing on COM1:, so that every request stays closed.
#include "script.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "host_setup.h"
#include "kest.h"
#include "library_handlers.h"
#include "shell.h"

namespace kest_tool {
namespace {

using Kind = LineOutcome::Kind;

class ScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = std::cout.rdbuf(captured_.rdbuf());
        Console::instance().configure(Format::Text, true);
        ASSERT_TRUE(connectLibraryHandlers());
    }
    void TearDown() override {
        disconnectLibraryHandlers();
        std::cout.rdbuf(saved_);
    }
    LineOutcome run(std::string_view line) { return runLine(line, context_); }
    std::string output() const { return captured_.str(); }

    CommandContext context_;

  private:
    std::ostringstream captured_;
    std::streambuf* saved_ = nullptr;
};

TEST_F(ScriptTest, BlankAndCommentLinesDoNothing) {
    EXPECT_EQ(run("").kind, Kind::Blank);
    EXPECT_EQ(run("  \t ").kind, Kind::Blank);
    EXPECT_EQ(run("# state").kind, Kind::Blank);
    EXPECT_EQ(output(), "");
}

TEST_F(ScriptTest, ACommentEndsTheCommand) {
    EXPECT_EQ(run("timeout 7# the default").kind, Kind::Succeeded);
    EXPECT_EQ(KEST_GetTimeout(), 7);
    EXPECT_EQ(output(), "result: timeout 0 seconds=7\n");
}

TEST_F(ScriptTest, LinesThatCannotRunSayWhyAndCallNothing) {
    const LineOutcome unknown = run("frobnicate");
    EXPECT_EQ(unknown.kind, Kind::Invalid);
    EXPECT_EQ(unknown.reason, "unknown command 'frobnicate'");
    EXPECT_EQ(run("timeout 1 2").reason, "usage: timeout [S]");
    EXPECT_EQ(run("timeout 12x").reason,
              "timeout: S must be an integer from -2147483648 to "
              "2147483647, not '12x'");
    EXPECT_EQ(run("versionreq -1").kind, Kind::Invalid);
    EXPECT_EQ(run("sleep -5").kind, Kind::Invalid);
    EXPECT_EQ(run("wait-state 0").kind, Kind::Invalid);
    EXPECT_EQ(run("open 1 1 99999999999").kind, Kind::Invalid);
    EXPECT_EQ(output(), "");
}

TEST_F(ScriptTest, SettingsAreSetAndShown) {
    EXPECT_EQ(run("versionreq 1").kind, Kind::Succeeded);
    EXPECT_EQ(run("downloadreq 0").kind, Kind::Succeeded);
    EXPECT_EQ(run("autorecover 0 1").kind, Kind::Succeeded);
    EXPECT_EQ(run("autorecover").kind, Kind::Succeeded);
    EXPECT_EQ(KEST_GetVersionReq(), 1);
    EXPECT_EQ(KEST_GetDownloadReq(), 0);
    EXPECT_EQ(output(),
              "result: versionreq 0 flag=1\n"
              "result: downloadreq 0 flag=0\n"
              "result: autorecover 0 suspend=0 cradle=1\n"
              "result: autorecover 0 suspend=0 cradle=1\n");
}

TEST_F(ScriptTest, EachCommandIsJudgedByWhatAScriptExpectsOfIt) {
    EXPECT_EQ(run("state").kind, Kind::Succeeded);
    EXPECT_EQ(run("wait-state 1").kind, Kind::Succeeded);  // closed: at once
    EXPECT_EQ(run("wait-state 4 0").kind, Kind::Unexpected);
    EXPECT_EQ(run("downloadinfo").kind, Kind::Unexpected);  // no download has ended
    EXPECT_EQ(output(),
              "result: state 1\n"
              "result: wait-state 0 state=1\n"
              "result: wait-state 1 state=1\n"
              "result: downloadinfo 1 received=0 total=0\n");
}

TEST_F(ScriptTest, ShellExitCodeIsTheWorstOutcomeAndQuitEndsTheInput) {
    std::istringstream fine("state\nquit\nfrobnicate\n");
    EXPECT_EQ(runShell(fine, false, context_), 0);
    std::istringstream unexpected("wait-state 4 0\nstate\n");
    EXPECT_EQ(runShell(unexpected, false, context_), 1);
    std::istringstream invalid("frobnicate\nwait-state 4 0\n");
    EXPECT_EQ(runShell(invalid, false, context_), 2);
}

// `--root ""` once made the demo remove ./QUOX/RUV/calib.bin before the platform refused it.
TEST(HostSetupTest, ARootThatCannotBeOneIsRefusedBeforeAnythingRuns) {
    HostOptions options;
    options.withPeripheral = false;
    options.root = "";
    EXPECT_THROW(HostSetup{options}, SetupError);
    options.root = "/dev/null/root";
    EXPECT_THROW(HostSetup{options}, SetupError);
}

}  // namespace
}  // namespace kest_tool
