// Feeds arbitrary bytes, as the peripheral would send them on the data port, through the frame
// decoder to the library's message dispatcher while a download is requested: the responses, the
// file blocks, and the file written at the end. Beyond not crashing, nothing may ever be created
// in the file system outside \QUOX\RUV.
//
// Everything runs on the fuzzing thread, with no waits: the library is attached and both of its
// threads are ended at once, so that the harness plays the manager thread (it starts each
// download itself) and the monitor thread (it decodes and dispatches). There is no data port, so
// the acknowledgements are built and dropped rather than written to a line. The file system is a
// temporary root, emptied after every input that left something in it. Buffers above 1 MiB are
// refused, as a handheld short of memory refuses them.
//
// A download writes its file only when the announced size and checksum match the blocks, which
// random mutations almost never keep true. So most mutated inputs have their announcements put
// right before they run (fixAnnouncements): the hostile peripheral that matters is one that
// gets its sums right. The target still takes whatever bytes it is given.
#include <host/files.h>
#include <host/registry.h>
#include <kest.h>
#include <stdlib.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include "manager/device_manager.h"
#include "manager/library_entry.h"
#include "serial/frame.h"
#include "serial/frame_decoder.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kThreadEndWait = 10000;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

void endThread(HANDLE thread, std::atomic<BYTE>& running, HANDLE wake, const char* name) {
    running.store(0, std::memory_order_release);
    EventModify(wake, EVENT_SET);
    if (WaitForSingleObject(thread, kThreadEndWait) != WAIT_OBJECT_0)
        fail(std::string("the ") + name + " thread did not end");
}

struct Harness {
    Harness() {
        // In memory where the host offers it: every input that completes a download creates
        // and removes two directories and a file.
        const fs::path parent = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = (parent / "kest-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) fail("no temporary root");
        root = pattern;
        downloads = root / "QUOX" / "RUV";
        host::files::setRoot(root.string());
        host::registry::reset();

        DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
        manager = kest::deviceManager.load();
        if (manager == nullptr) fail("the library has no device manager");
        endThread(manager->managerThread, manager->managerRunning, manager->wakeEvent, "manager");
        endThread(manager->monitorThread, manager->monitorRunning, manager->monitorWakeEvent,
                  "monitor");
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

    // The download directories themselves, and whatever lies inside \QUOX\RUV.
    bool allowed(const fs::path& path) const {
        if (path == root / "QUOX" || path == downloads) return true;
        const auto [end, inside] = std::mismatch(downloads.begin(), downloads.end(), path.begin());
        return end == downloads.end() && inside != path.end();
    }

    // Checks the root, then empties it so that every input starts from the same file system.
    void checkAndClearRoot() {
        if (fs::is_empty(root)) return;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!allowed(entry.path())) {
                const std::string what = "created outside \\QUOX\\RUV: " + entry.path().string();
                fs::remove_all(root);
                fail(what);
            }
        }
        for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
    }

    fs::path root;
    fs::path downloads;
    kest::DeviceManager* manager = nullptr;
};

void putBigEndian(std::uint8_t* at, std::uint32_t value) {
    for (int i = 3; i >= 0; --i, value >>= 8) at[i] = static_cast<std::uint8_t>(value);
}

// Gives every FileDownloadResponse that announces a file the size and the checksum of the
// stream bytes of the FileData blocks after it, up to the next such response. Frames are walked
// as the decoder takes them: 0x21, type, length, payload; a payload longer than a frame holds
// is skipped, bytes outside a frame are passed over.
void fixAnnouncements(std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kHeader = 3;
    constexpr std::size_t kAnnouncementLength = 11;
    constexpr std::size_t kBlockOverhead = 3;  // code, sequence number, trailing byte
    std::uint8_t* announced = nullptr;         // the size field, the checksum after it
    std::uint32_t count = 0;
    std::uint32_t sum = 0;
    const auto settle = [&] {
        if (announced == nullptr) return;
        putBigEndian(announced, count);
        putBigEndian(announced + 4, sum);
    };
    for (std::size_t at = 0; at + kHeader <= size;) {
        if (data[at] != 0x21) {
            ++at;
            continue;
        }
        const std::size_t length = data[at + 2];
        if (at + kHeader + length > size) break;
        std::uint8_t* const payload = data + at + kHeader;
        const bool message = data[at + 1] == 0x00 && 
                             length <= static_cast<std::size_t>(kest::Frame::kMaxPayloadLength);
        if (message && length >= kAnnouncementLength && payload[0] == 0x07 && payload[2] == 0) {
            settle();
            announced = payload + 3;
            count = 0;
            sum = 0;
        } else if (message && length >= kBlockOverhead && payload[0] == 0x08) {
            for (std::size_t i = 2; i + 1 < length; ++i, ++count) sum += payload[i];
        }
        at += kHeader + length;
    }
    settle();
}

}  // namespace

// Most sizes the fuzzer announces are near 2 GiB; allocating each one would spend the run in
// the address sanitizer's bookkeeping of that memory instead of on the bytes that follow. The
// refusal takes the library's own path for a buffer it cannot have. Allocates through the
// ordinary array operator, so that the sanitizer's operator delete[] matches it.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    constexpr std::size_t kLargestBuffer = std::size_t{1} << 20;
    if (size > kLargestBuffer) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness harness;
    harness.requestDownload();
    harness.receive(data, size);
    harness.checkAndClearRoot();
    return 0;
}

// One mutation in four is left as it is, so that inputs whose sums do not match go on being
// tried as well.
extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, maxSize);
    if (seed % 4 != 0) fixAnnouncements(data, size);
    return size;
}
