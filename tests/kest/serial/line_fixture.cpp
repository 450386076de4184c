#include "line_fixture.h"

#include <host/registry.h>

#include <chrono>

#include "comm_spy.h"

void LineLog::Record(LineLog* log, const char* line) {
    std::lock_guard guard(log->lock_);
    log->lines_.emplace_back(line);
}

std::vector<std::string> LineLog::lines() const {
    std::lock_guard guard(lock_);
    return lines_;
}

void LineTest::SetUp() {
    host::registry::reset();
    line = host::serial::createSimulatedLine();
    ASSERT_TRUE(line->activate(7));
    spy::setDriverTimeouts(std::nullopt);
    spy::clear();
}

void LineTest::TearDown() {
    line->deactivate();
}

std::vector<BYTE> LineTest::peerRead(std::size_t count) {
    std::vector<BYTE> bytes(count);
    std::size_t got = 0;
    while (got < count) {
        const std::size_t n =
            line->read(std::span(bytes).subspan(got), std::chrono::milliseconds(10000));
        if (n == 0) break;
        got += n;
    }
    bytes.resize(got);
    return bytes;
}

void LineTest::peerWrite(const std::vector<BYTE>& bytes) {
    line->write(bytes);
}
