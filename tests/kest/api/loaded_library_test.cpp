// libkest.so loaded with LoadLibraryW and unloaded with FreeLibrary, or left loaded at process
// exit, under the platform's loader: its DllMain runs under the loader lock, which its threads
// also need to end. A teardown that waits for them to end never returns, so each case runs in a
// child process that an alarm ends if it hangs.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <host/devices.h>
#include <host/files.h>
#include <host/handles.h>
#include <kest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "fresh_registry.h"
#include "peripheral/peripheral.h"
#include "wait_until.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr unsigned kAlarmSeconds = 60;

// The child's file system root, named after the test process.
fs::path sceneRoot(pid_t testProcess) {
    return fs::temp_directory_path() / ("kest-loaded-" + std::to_string(testProcess));
}

// Runs body in a child process; true when the child ended of itself with no failure (a sanitizer
// report also makes its exit code non-zero).
bool passesInChild(const std::function<void()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(kAlarmSeconds);
        body();
        std::exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    fs::remove_all(sceneRoot(getpid()));
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Exports {
    decltype(&KEST_Open) open;
    decltype(&KEST_GetState) getState;
};

Exports exportsOfLoadedLibrary() {
    void* image = dlopen(KEST_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD);
    Exports exports{reinterpret_cast<decltype(&KEST_Open)>(dlsym(image, "KEST_Open")),
                    reinterpret_cast<decltype(&KEST_GetState)>(dlsym(image, "KEST_GetState"))};
    dlclose(image);  // the loader's reference keeps it mapped
    return exports;
}

// The scene of every case: a fresh registry, a file system root and a started peripheral.
struct Scene {
    Scene() : root(sceneRoot(getppid())) {
        fs::create_directories(root);
        host::files::setRoot(root.string());
        host::devices::setLibraryDirectory(KEST_LIBRARY_DIR);
        peripheral.start();
    }

    static sim::PeripheralProfile profile() {
        sim::PeripheralProfile p;
        p.port.dataPortDelay = 0ms;
        // Each cycle loads a new library, which knows nothing of a port that the unload before
        // left on its way out.
        p.port.dataPortRemovalDelay = 0ms;
        return p;
    }

    kest_test::FreshRegistry registry;
    fs::path root;
    sim::Peripheral peripheral{profile()};
};

// Loads the library and asks for an open with the download without waiting; returns once the
// manager has come as far as the download.
HMODULE loadAndStartDownload() {
    const HMODULE kest = LoadLibraryW(u"kest.dll");
    EXPECT_NE(kest, nullptr);
    if (kest == nullptr) return nullptr;
    const Exports exports = exportsOfLoadedLibrary();
    EXPECT_EQ(exports.open(1, 1, 0), KEST_NOT_DONE);
    EXPECT_TRUE(kest_test::waitUntil([&] {
        const int state = exports.getState();
        return state == KEST_STATE_DOWNLOADING || state == KEST_STATE_READY;
    })) << "state " << exports.getState();
    return kest;
}

TEST(LoadedLibrary, FreeLibraryDuringADownloadReturnsWithinASecondAndLeavesNoHandle) {
    EXPECT_TRUE(passesInChild([] {
        Scene scene;
        const std::size_t handles = host::liveHandleCount();
        for (int cycle = 0; cycle < 100 && !::testing::Test::HasFailure(); ++cycle) {
            const HMODULE kest = loadAndStartDownload();
            const auto asked = std::chrono::steady_clock::now();
            EXPECT_TRUE(FreeLibrary(kest));
            EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s) << "cycle " << cycle;
            EXPECT_EQ(host::liveHandleCount(), handles) << "cycle " << cycle;
        }
        EXPECT_EQ(GetModuleHandleW(u"kest.dll"), nullptr);
    }));
}

// Straight after the load the library's threads are still waiting for the loader lock that the
// FreeLibrary then holds: a teardown that waits for them to leave the library never returns.
TEST(LoadedLibrary, FreeLibraryBeforeTheThreadsHaveStartedReturnsAndLeavesNoHandle) {
    EXPECT_TRUE(passesInChild([] {
        Scene scene;
        const std::size_t handles = host::liveHandleCount();
        for (int cycle = 0; cycle < 100 && !::testing::Test::HasFailure(); ++cycle) {
            const HMODULE kest = LoadLibraryW(u"kest.dll");
            ASSERT_NE(kest, nullptr);
            EXPECT_TRUE(FreeLibrary(kest));
            EXPECT_EQ(host::liveHandleCount(), handles) << "cycle " << cycle;
        }
    }));
}

TEST(LoadedLibrary, ProcessExitDuringADownloadWithARequestWaitingEndsPromptly) {
    EXPECT_TRUE(passesInChild([] {
        Scene scene;
        ASSERT_NE(loadAndStartDownload(), nullptr);
        // A second request that waits without limit while the process exits.
        std::thread([] { exportsOfLoadedLibrary().open(1, 1, -1); }).detach();
        alarm(2);  // the exit must be over long before
        std::exit(0);
    }));
}

}  // namespace
