// Feeds arbitrary bytes, as the peripheral would send them on the data port, through the frame
// decoder to the library's message dispatcher while a download is requested: the responses, the
// file blocks and their acknowledgements, and the file written at the end. Beyond not crashing,
// nothing may ever be created in the file system outside \QUOX\RUV.
//
// The library is attached with its manager thread ended, so that the harness plays that thread
// (it starts each download itself) and no pass runs beside the dispatcher. The data port is open
// on an unpaced simulated line, so the acknowledgements really go out; the monitor thread is not
// given the port, and the harness reads back whatever the library wrote after each input.
#include <host/files.h>
#include <host/registry.h>
#include <host/serial.h>
#include <kest.h>
#include <stdlib.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "manager/device_manager.h"
#include "manager/library_entry.h"
#include "serial/frame_decoder.h"
#include "serial/framed_port.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned kDataComNumber = 7;
constexpr DWORD kThreadEndWait = 10000;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

struct Harness {
    Harness() {
        char pattern[] = "/tmp/kest-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) fail("no temporary root");
        root = pattern;
        downloads = root / "QUOX" / "RUV";
        host::files::setRoot(root.string());
        host::registry::reset();
        if (!line->activate(kDataComNumber)) fail("the data line did not come up");

        DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
        manager = kest::deviceManager.load();
        if (manager == nullptr) fail("the library has no device manager");
        manager->managerRunning.store(0, std::memory_order_release);
        EventModify(manager->wakeEvent, EVENT_SET);
        if (WaitForSingleObject(manager->managerThread, kThreadEndWait) != WAIT_OBJECT_0)
            fail("the manager thread did not end");

        auto* port = new kest::FramedPort("COM7:", 115200);
        if (!port->Open()) fail("the data port did not open");
        manager->dataPort.store(port, std::memory_order_release);
    }
    ~Harness() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // A new download, as the manager thread starts one in KEST_STATE_READY.
    void requestDownload() {
        manager->downloadDone.store(0, std::memory_order_release);
        manager->setState(KEST_STATE_READY);
        manager->downloadStep();
    }

    // Every byte through the decoder, every frame to the dispatcher before the next byte.
    void receive(const std::uint8_t* data, std::size_t size) {
        kest::FrameDecoder decoder;
        for (std::size_t i = 0; i < size; ++i) {
            if (const auto frame = decoder.Push(data[i]))
                kest::DeviceManager::handleMessage(manager, frame.get());
        }
    }

    void discardSent() {
        std::uint8_t sink[256];
        while (line->read(sink, std::chrono::milliseconds{0}) > 0) {
        }
    }

    // The download directories themselves, and whatever lies inside \QUOX\RUV.
    bool allowed(const fs::path& path) const {
        if (path == root / "QUOX" || path == downloads) return true;
        const auto [end, inside] = std::mismatch(downloads.begin(), downloads.end(), path.begin());
        return end == downloads.end() && inside != path.end();
    }

    // Checks the root, then empties it so that every input starts from the same file system.
    void checkAndClearRoot() {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!allowed(entry.path()))
                fail("created outside \\QUOX\\RUV: " + entry.path().string());
        }
        for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
    }

    fs::path root;
    fs::path downloads;
    std::shared_ptr<host::serial::SimulatedLine> line = host::serial::createSimulatedLine();
    kest::DeviceManager* manager = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness harness;
    harness.requestDownload();
    harness.receive(data, size);
    harness.discardSent();
    harness.checkAndClearRoot();
    return 0;
}
