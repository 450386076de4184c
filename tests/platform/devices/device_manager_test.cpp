#include <devload.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <host/devices.h>
#include <host/handles.h>
#include <host/registry.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "test_driver.h"

namespace {

using namespace std::chrono_literals;

std::string narrow(const std::u16string& s) {
    return {s.begin(), s.end()};
}

void writeString(HKEY key, const char16_t* name, const std::u16string& value) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * 2)),
              ERROR_SUCCESS);
}

void writeDriverKey(const std::u16string& path, const std::u16string& dll,
                    const std::u16string& prefix, std::optional<DWORD> index = std::nullopt) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    writeString(key, u"Dll", dll);
    writeString(key, u"Prefix", prefix);
    if (index) {
        ASSERT_EQ(
            RegSetValueExW(key, u"Index", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*index), 4),
            ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

std::optional<std::u16string> readString(HKEY key, const char16_t* name) {
    char16_t buffer[128] = {};
    DWORD size = sizeof buffer;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    return std::u16string(buffer);
}

std::optional<DWORD> readDword(HKEY key, const char16_t* name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return std::nullopt;
    return value;
}

struct ActiveEntry {
    std::u16string subKey;
    std::u16string name;
    std::u16string driverKey;
    DWORD handle = 0;
    DWORD clientInfo = 0;
};

std::vector<ActiveEntry> activeEntries() {
    std::vector<ActiveEntry> entries;
    HKEY active = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, &active) !=
        ERROR_SUCCESS)
        return entries;
    for (DWORD i = 0;; ++i) {
        char16_t name[128];
        DWORD length = 128;
        if (RegEnumKeyExW(active, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY sub = nullptr;
        if (RegOpenKeyExW(active, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
        // Value names are case-insensitive, as the library's "NAME" lookup relies on.
        entries.push_back(
            {name, readString(sub, u"NAME").value_or(u""), readString(sub, u"Key").value_or(u""),
             readDword(sub, u"Hnd").value_or(0), readDword(sub, u"ClientInfo").value_or(0)});
        RegCloseKey(sub);
    }
    RegCloseKey(active);
    return entries;
}

template <class Pred>
bool eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

HANDLE openDevice(const char16_t* name, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

class DeviceManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::registry::reset();
        host::devices::setLibraryDirectory(TEST_DRIVER_DIR);
        // The test keeps its own reference so that the counters survive the driver's unload.
        library_ = dlopen(TEST_DRIVER_DIR "/libtstdriver.so", RTLD_NOW);
        ASSERT_NE(library_, nullptr) << dlerror();
        statsFn_ = reinterpret_cast<TestDriverStatsFn>(dlsym(library_, "TestDriver_Stats"));
        ASSERT_NE(statsFn_, nullptr);
        writeDriverKey(u"Drivers\\Test", u"TSTDRIVER.DLL", u"TST");
        handlesAtStart_ = host::liveHandleCount();
    }
    void TearDown() override {
        EXPECT_EQ(host::liveHandleCount(), handlesAtStart_);
        dlclose(library_);
    }
    TestDriverStats stats() const {
        TestDriverStats s;
        statsFn_(&s);
        return s;
    }

    void* library_ = nullptr;
    TestDriverStatsFn statsFn_ = nullptr;
    std::size_t handlesAtStart_ = 0;
};

TEST_F(DeviceManagerTest, ActivationWritesTheActiveKeyAndInitReceivesItsPathAndClientInfo) {
    HANDLE device = ActivateDevice(u"Drivers\\Test", 0x1234);
    ASSERT_NE(device, nullptr);
    const auto entries = activeEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(narrow(entries[0].name), "TST1:");
    EXPECT_EQ(narrow(entries[0].driverKey), "Drivers\\Test");
    EXPECT_EQ(entries[0].clientInfo, 0x1234u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(device), entries[0].handle);
    EXPECT_EQ(entries[0].subKey.size(), 2u);  // "NN"
    EXPECT_EQ(stats().inits, 1);
    EXPECT_EQ(stats().lastClientInfo, 0x1234u);
    EXPECT_EQ(stats().lastActiveKey, "Drivers\\Active\\" + narrow(entries[0].subKey));

    const auto listed = host::devices::activeDevices();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "TST1:");
    EXPECT_EQ(listed[0].activeKey, stats().lastActiveKey);

    ASSERT_TRUE(DeactivateDevice(device));
    EXPECT_TRUE(activeEntries().empty());
    EXPECT_TRUE(host::devices::activeDevices().empty());
    EXPECT_EQ(stats().deinits, 1);
    EXPECT_FALSE(DeactivateDevice(device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceManagerTest, IndicesAreTheLowestFreeOrTheGivenOneAndMayExceedNine) {
    HANDLE first = ActivateDevice(u"Drivers\\Test", 0);
    HANDLE second = ActivateDevice(u"Drivers\\Test", 0);
    writeDriverKey(u"Drivers\\Twelve", u"tstdriver.dll", u"TST", 12);
    HANDLE twelfth = ActivateDevice(u"Drivers\\Twelve", 0);
    ASSERT_TRUE(first && second && twelfth);
    ASSERT_TRUE(DeactivateDevice(first));
    HANDLE again = ActivateDevice(u"Drivers\\Test", 0);
    ASSERT_NE(again, nullptr);

    std::vector<std::string> names;
    std::vector<std::u16string> subKeys;
    for (const auto& e : activeEntries()) {
        names.push_back(narrow(e.name));
        subKeys.push_back(e.subKey);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"TST12:", "TST1:", "TST2:"}));
    // Active keys are numbered in activation order and never reused (the count goes on across
    // the process, so only the steps between them are known).
    std::vector<int> numbers;
    for (const auto& key : subKeys) numbers.push_back(std::stoi(narrow(key)));
    std::sort(numbers.begin(), numbers.end());
    ASSERT_EQ(numbers.size(), 3u);
    EXPECT_EQ(numbers[1], numbers[0] + 1);
    EXPECT_EQ(numbers[2], numbers[0] + 2);

    HANDLE h = openDevice(u"TST12:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    // The name is the index itself: no leading zeros.
    EXPECT_EQ(openDevice(u"TST012:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // A given index that is taken is refused.
    EXPECT_EQ(ActivateDevice(u"Drivers\\Twelve", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    // A key that no activation made (another driver's port, loaded from a .reg file) is never
    // taken over: the next activation picks a number no key uses.
    const int next = numbers.back() + 1;
    ASSERT_TRUE(host::registry::loadText("REGEDIT4\n[HKLM\\Drivers\\Active\\" +
                                         std::string(next < 10 ? "0" : "") + std::to_string(next) +
                                         "]\n\"Name\"=\"COM7:\"\n"));
    HANDLE later = ActivateDevice(u"Drivers\\Test", 0);
    const auto entries = activeEntries();
    EXPECT_EQ(entries.size(), 5u);
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const auto& e) { return e.name == u"COM7:"; }),
              1);
    for (HANDLE d : {second, twelfth, again, later}) EXPECT_TRUE(DeactivateDevice(d));
}

TEST_F(DeviceManagerTest, FailedActivationsLeaveNoActiveKey) {
    writeDriverKey(u"Drivers\\Missing", u"NOSUCH.DLL", u"TST");
    EXPECT_EQ(ActivateDevice(u"Drivers\\Missing", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    writeDriverKey(u"Drivers\\WrongPrefix", u"TSTDRIVER.DLL", u"XYZ");
    EXPECT_EQ(ActivateDevice(u"Drivers\\WrongPrefix", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    writeDriverKey(u"Drivers\\LongPrefix", u"TSTDRIVER.DLL", u"TSTX");
    EXPECT_EQ(ActivateDevice(u"Drivers\\LongPrefix", 0), nullptr);
    EXPECT_EQ(ActivateDevice(u"Drivers\\NoSuchKey", 0), nullptr);
    // An address does not fit the 32-bit "ClientInfo": refused rather than cut.
    EXPECT_EQ(ActivateDevice(u"Drivers\\Test", DWORD_PTR{1} << 40), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(activeEntries().empty());
    EXPECT_EQ(stats().inits, 0);
}

TEST_F(DeviceManagerTest, FileCallsAreRoutedToTheDriver) {
    writeDriverKey(u"Drivers\\Path", u"\\Windows\\TstDriver.Dll", u"tst");
    HANDLE device = ActivateDevice(u"Drivers\\Path", 0);
    ASSERT_NE(device, nullptr);
    HANDLE h =
        CreateFileW(u"tst1:", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(stats().lastAccess, static_cast<DWORD>(GENERIC_WRITE));
    EXPECT_EQ(stats().lastShare, static_cast<DWORD>(FILE_SHARE_READ));

    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &done, nullptr));
    EXPECT_EQ(done, 3u);
    char buffer[8] = {};
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(std::string(buffer, done), "abc");
    EXPECT_EQ(SetFilePointer(h, 5, nullptr, FILE_END), 52u);
    BYTE in[3] = {1, 2, 3};
    BYTE out[3] = {};
    ASSERT_TRUE(DeviceIoControl(h, 7, in, 3, out, 3, &done, nullptr));
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[2], 1);
    EXPECT_FALSE(DeviceIoControl(h, 8, in, 3, out, 3, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(stats().closes, 1);
    EXPECT_TRUE(DeactivateDevice(device));
}

TEST_F(DeviceManagerTest, ADriverCanRefuseASecondOpen) {
    HANDLE device = ActivateDevice(u"Drivers\\Test", 0);
    HANDLE first = openDevice(u"TST1:", 0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openDevice(u"TST1:", 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(CloseHandle(first));
    HANDLE second = openDevice(u"TST1:", 0);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(DeactivateDevice(device));
}

TEST_F(DeviceManagerTest, CloseHandleWakesABlockedReadAndClosesOnlyAfterItReturned) {
    HANDLE device = ActivateDevice(u"Drivers\\Test", 0);
    HANDLE h = openDevice(u"TST1:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto reader = std::async(std::launch::async, [h] {
        char buffer[4];
        DWORD done = 0;
        const BOOL ok = ReadFile(h, buffer, sizeof buffer, &done, nullptr);
        return std::make_pair(ok, GetLastError());
    });
    ASSERT_TRUE(eventually([&] { return stats().readsBlocked == 1; }));
    EXPECT_TRUE(CloseHandle(h));
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    const auto [ok, error] = reader.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(stats().preCloses, 1);
    EXPECT_EQ(stats().closes, 1);
    EXPECT_EQ(stats().closesWithCallsInFlight, 0);
    // The handle is gone for every later call.
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(DeactivateDevice(device));
}

TEST_F(DeviceManagerTest, DeactivationWithAnOpenHandleWakesClosesAndThenDeinits) {
    HANDLE device = ActivateDevice(u"Drivers\\Test", 0);
    HANDLE h = openDevice(u"TST1:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto reader = std::async(std::launch::async, [h] {
        char buffer[4];
        DWORD done = 0;
        return ReadFile(h, buffer, sizeof buffer, &done, nullptr);
    });
    ASSERT_TRUE(eventually([&] { return stats().readsBlocked == 1; }));
    EXPECT_TRUE(DeactivateDevice(device));
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(reader.get());
    const TestDriverStats s = stats();
    EXPECT_EQ(s.closes, 1);
    EXPECT_EQ(s.closesWithCallsInFlight, 0);
    EXPECT_EQ(s.deinits, 1);
    EXPECT_EQ(s.deinitsWithOpens, 0);
    EXPECT_TRUE(activeEntries().empty());

    // The handle stays valid until closed, but reaches no driver any more.
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(openDevice(u"TST1:"), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(stats().closes, 1);
}

// A built-in driver whose PreClose blocks until released, to see what runs meanwhile.
struct SlowPreClose {
    std::promise<void> entered, release;
    std::atomic<bool> inPreClose{false};
    std::atomic<int> closes{0}, closesDuringPreClose{0};
};
SlowPreClose* slowDriver = nullptr;  // the driver's entry points are plain functions

TEST_F(DeviceManagerTest, CloseHandleDuringDeactivationClosesOnlyAfterPreCloseReturned) {
    SlowPreClose slow;
    slowDriver = &slow;
    host::devices::StreamDriver driver;
    driver.init = [](DWORD_PTR, LPCVOID) -> DWORD_PTR { return 1; };
    driver.deinit = [](DWORD_PTR) -> BOOL { return TRUE; };
    driver.open = [](DWORD_PTR, DWORD, DWORD) -> DWORD_PTR { return 1; };
    driver.preClose = [](DWORD_PTR) -> BOOL {
        slowDriver->inPreClose = true;
        slowDriver->entered.set_value();
        slowDriver->release.get_future().wait();
        slowDriver->inPreClose = false;
        return TRUE;
    };
    driver.close = [](DWORD_PTR) -> BOOL {
        slowDriver->closesDuringPreClose += slowDriver->inPreClose ? 1 : 0;
        ++slowDriver->closes;
        return TRUE;
    };
    host::devices::registerBuiltInDriver("slow.dll", driver);
    writeDriverKey(u"Drivers\\Slow", u"SLOW.DLL", u"SLO");
    HANDLE device = ActivateDevice(u"Drivers\\Slow", 0);
    HANDLE h = openDevice(u"SLO1:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto deactivation =
        std::async(std::launch::async, [device] { return DeactivateDevice(device); });
    slow.entered.get_future().wait();
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(slow.closes, 0) << "Close ran while PreClose still ran on the same open context";
    slow.release.set_value();
    EXPECT_TRUE(deactivation.get());
    EXPECT_EQ(slow.closes, 1);
    EXPECT_EQ(slow.closesDuringPreClose, 0);
}

// A driver built into the process, found by its "Dll" name without regard to case.
int builtInOpens = 0;
DWORD_PTR builtInInit(DWORD_PTR, LPCVOID) {
    return 1;
}
BOOL builtInDeinit(DWORD_PTR) {
    return TRUE;
}
DWORD_PTR builtInOpen(DWORD_PTR, DWORD, DWORD) {
    return static_cast<DWORD_PTR>(++builtInOpens);
}
BOOL builtInClose(DWORD_PTR) {
    return TRUE;
}

TEST_F(DeviceManagerTest, BuiltInDriversAreFoundByTheirDllName) {
    builtInOpens = 0;
    host::devices::StreamDriver driver;
    driver.init = builtInInit;
    driver.deinit = builtInDeinit;
    driver.open = builtInOpen;
    driver.close = builtInClose;
    host::devices::registerBuiltInDriver("InProcess.dll", driver);
    writeDriverKey(u"Drivers\\BuiltIn", u"INPROCESS.DLL", u"INP");
    HANDLE device = ActivateDevice(u"Drivers\\BuiltIn", 0);
    ASSERT_NE(device, nullptr);
    HANDLE h = openDevice(u"INP1:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(builtInOpens, 1);
    // Entry points the driver lacks fail cleanly.
    char buffer[4];
    DWORD done = 7;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(DeactivateDevice(device));
}

}  // namespace
