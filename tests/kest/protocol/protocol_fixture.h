// A library whose manager thread the test plays, with a data port open on a simulated line: the
// test hands received frames to the message handler itself, decoded from the bytes as the
// peripheral sends them, and reads what the library writes from the line's far end. The monitor
// thread is not given the port. The file system's root is a fresh temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <host/serial.h>
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "application_recorder.h"
#include "attached_library.h"
#include "fresh_registry.h"
#include "manager/device_manager.h"

namespace kest_test {

using Bytes = std::vector<BYTE>;

// A frame of type 0 around the payload, as it travels on the wire.
Bytes wireFrame(const Bytes& payload);
// The four bytes of a big-endian 32-bit field.
Bytes bigEndian(std::uint32_t value);
Bytes concat(const Bytes& a, const Bytes& b);

class ProtocolTest : public ::testing::Test {
  protected:
    ProtocolTest();
    ~ProtocolTest() override;

    kest::DeviceManager& manager() const { return library.manager(); }

    // Feeds the bytes through a frame decoder, handing every frame to the message handler.
    void receive(const Bytes& wire);
    // The next `count` bytes the library has written to the data port (fewer if they do not come
    // within the tests' patience).
    Bytes sent(std::size_t count);
    // True when the library has written nothing that the test has not read.
    bool nothingSent() const { return line->pendingForPeer() == 0; }
    // Deletes the data port, as a close of the data channel does.
    void closeDataPort();
    // Plays a close and the download step of the next session: the FileDownloadRequest goes
    // out, and a transfer may now be announced.
    void askForDownload();

    // What the application has been told, without the monitor thread's lines.
    std::vector<std::string> lines() const;

    std::filesystem::path root;
    FreshRegistry registry;
    std::shared_ptr<host::serial::SimulatedLine> line;
    AttachedLibrary library;
    ApplicationRecorder application;
};

}  // namespace kest_test
