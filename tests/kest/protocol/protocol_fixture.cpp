#include "protocol_fixture.h"

#include <host/files.h>
#include <kest.h>
#include <stdlib.h>

#include <span>

#include "monitor_lines.h"
#include "serial/frame_decoder.h"
#include "serial/framed_port.h"
#include "stopped_manager_thread.h"
#include "wait_until.h"

namespace kest_test {
namespace {

constexpr unsigned kDataComNumber = 7;

std::filesystem::path makeTemporaryRoot() {
    char pattern[] = "/tmp/kest-protocol-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    return made == nullptr ? std::filesystem::path{} : std::filesystem::path{made};
}

}  // namespace

Bytes wireFrame(const Bytes& payload) {
    Bytes wire = {0x21, 0x00, static_cast<BYTE>(payload.size())};
    wire.insert(wire.end(), payload.begin(), payload.end());
    return wire;
}

Bytes bigEndian(std::uint32_t value) {
    return {static_cast<BYTE>(value >> 24), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 8), static_cast<BYTE>(value)};
}

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

ProtocolTest::ProtocolTest()
    : root(makeTemporaryRoot()), line(host::serial::createSimulatedLine()) {
    host::files::setRoot(root.string());
    EXPECT_TRUE(line->activate(kDataComNumber));
    EXPECT_TRUE(stopManagerThread(manager()));
    auto* port = new kest::FramedPort("COM7:", 115200);
    EXPECT_TRUE(port->Open());
    manager().dataPort.store(port);
}

ProtocolTest::~ProtocolTest() {
    closeDataPort();
    line->deactivate();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

void ProtocolTest::receive(const Bytes& wire) {
    kest::FrameDecoder decoder;
    for (BYTE byte : wire) {
        if (auto frame = decoder.Push(byte)) {
            kest::DeviceManager::handleMessage(&manager(), frame.get());
        }
    }
}

Bytes ProtocolTest::sent(std::size_t count) {
    Bytes out(count);
    std::size_t got = 0;
    while (got < count) {
        const std::size_t n =
            line->read(std::span(out).subspan(got), std::chrono::milliseconds(kPatience));
        if (n == 0) break;
        got += n;
    }
    out.resize(got);
    return out;
}

void ProtocolTest::closeDataPort() {
    if (kest::FramedPort* port = manager().dataPort.load()) manager().discardDataPort(port);
}

void ProtocolTest::askForDownload() {
    manager().forgetDownload();  // as the close before a new session does
    sent(line->pendingForPeer());
    manager().setState(KEST_STATE_READY);
    EXPECT_EQ(manager().downloadStep(), kest::kStepInProgress);
    EXPECT_EQ(sent(5), (Bytes{0x21, 0x00, 0x02, 0x06, 0x00}));
    application.clear();
}

std::vector<std::string> ProtocolTest::lines() const {
    return withoutMonitorLines(application.statuses());
}

}  // namespace kest_test
