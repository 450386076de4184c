#include "console.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace kest_tool {
namespace {

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override { saved_ = std::cout.rdbuf(captured_.rdbuf()); }
    void TearDown() override {
        std::cout.rdbuf(saved_);
        Console::instance().configure(Format::Text, false);
    }
    std::string output() const { return captured_.str(); }

  private:
    std::ostringstream captured_;
    std::streambuf* saved_ = nullptr;
};

TEST_F(ConsoleTest, TextLinesNameTheStateAndQuoteTextFields) {
    Console& console = Console::instance();
    console.configure(Format::Text, false);
    console.status("Powering on KEST.");
    console.state(4);
    console.state(42);
    console.result("version", 0, {{"major", 1}, {"minor", 10}, {"text", "say \"hi\""}});
    console.result("close", 1, {});
    EXPECT_EQ(output(),
              "status: Powering on KEST.\n"
              "state: 4 KEST_STATE_READY\n"
              "state: 42 UNKNOWN\n"
              "result: version 0 major=1 minor=10 text=\"say \\\"hi\\\"\"\n"
              "result: close 1\n");
}

TEST_F(ConsoleTest, StatusTextsShowOnlyControlBytesAndNonTextEscaped) {
    Console& console = Console::instance();
    console.configure(Format::Text, false);
    console.status("QUOX\\RUV\\calib.bin");
    console.status("a\x1b[2J\nb caf\xc3\xa9 caf\xe9 \xc2\x9b");
    console.result("version", 0, {{"text", std::string("\x07\xff\\", 3)}});
    EXPECT_EQ(output(),
              "status: QUOX\\RUV\\calib.bin\n"
              "status: a\\x1B[2J\\x0Ab caf\xc3\xa9 caf\\xE9 \\xC2\\x9B\n"
              "result: version 0 text=\"\\x07\\xFF\\\\\"\n");
}

// JSON escapes as JSON does; a byte that is not UTF-8 becomes the text \xNN, as in text lines.
TEST_F(ConsoleTest, JsonKeepsFieldOrderAndShowsBytesThatAreNotUtf8) {
    Console& console = Console::instance();
    console.configure(Format::Json, false);
    console.status("caf\xe9\n\xc3\xa9");
    console.state(1);
    console.result("downloadinfo", 0, {{"received", 100}, {"total", 100}});
    EXPECT_EQ(output(),
              "{\"event\":\"status\",\"text\":\"caf\\\\xE9\\n\xc3\xa9\"}\n"
              "{\"event\":\"state\",\"state\":1,\"name\":\"KEST_STATE_CLOSED\"}\n"
              "{\"event\":\"result\",\"command\":\"downloadinfo\",\"code\":0,\"received\":100,"
              "\"total\":100}\n");
}

TEST_F(ConsoleTest, QuietDropsStatusLinesOnly) {
    Console& console = Console::instance();
    console.configure(Format::Text, true);
    console.status("Powering on KEST.");
    console.state(2);
    console.result("open", 0, {});
    EXPECT_EQ(output(), "state: 2 KEST_STATE_POWERED\nresult: open 0\n");
}

TEST_F(ConsoleTest, ProgressIsAPlainLineOrAJsonObjectOffATerminal) {
    Console& console = Console::instance();
    console.configure(Format::Text, false);
    console.progress(122, 1016);
    console.configure(Format::Json, false);
    console.progress(1016, 1016);
    EXPECT_EQ(output(),
              "progress: 122/1016 bytes\n"
              "{\"event\":\"progress\",\"received\":1016,\"total\":1016}\n");
}

TEST_F(ConsoleTest, OnATerminalTheBarIsRedrawnInPlaceBelowOtherLines) {
    Console& console = Console::instance();
    console.configure(Format::Text, false, true);
    console.progress(500, 1000);
    console.status("Created file:");
    console.progress(2000, 1000);  // more than announced: the bar stays full, not past it
    console.endProgress();
    console.endProgress();
    const std::string half = "download [###############...............] 50% 500/1000 bytes";
    const std::string full = "download [##############################] 100% 2000/1000 bytes";
    EXPECT_EQ(output(), "\r\x1b[K" + half + "\r\x1b[Kstatus: Created file:\n\r\x1b[K" + half +
                            "\r\x1b[K" + full + "\n");
}

}  // namespace
}  // namespace kest_tool
