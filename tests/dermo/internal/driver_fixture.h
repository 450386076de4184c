// The driver with its objects linked in, attached to the recording fake USB stack: the device
// manager reaches the stream interface as a built-in driver. Each test starts from an empty
// registry and a fresh fake, and must leave no pipe and no handle of the process behind.
#pragma once

#include <dermo.h>
#include <gtest/gtest.h>
#include <host/devices.h>
#include <host/handles.h>
#include <host/registry.h>
#include <sensor/sensor_profile.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "attach.h"
#include "context.h"
#include "exports.h"
#include "fake_usb.h"

namespace dermo_test {

inline USB_HANDLE const kDevice = reinterpret_cast<USB_HANDLE>(0x1000);
inline USB_HANDLE const kOtherDevice = reinterpret_cast<USB_HANDLE>(0x2000);
inline constexpr BOOL kUntouched = 7;

inline sim::SensorProfile Profile(const char* name) {
    const auto result =
        sim::loadProfile(std::string(DERMO_SENSOR_PROFILE_DIR) + "/" + name + ".toml");
    EXPECT_TRUE(result.profile) << result.error;
    return result.profile.value_or(sim::defaultProfile());
}

// True once a thread waits on the object; gives up after ten seconds.
inline bool WaitForWaiter(HANDLE object) {
    for (int i = 0; i < 10000 && host::waiterCount(object) == 0; ++i) Sleep(1);
    return host::waiterCount(object) > 0;
}

inline bool DrxActive() {
    for (const auto& device : host::devices::activeDevices())
        if (device.name == "DRX1:") return true;
    return false;
}

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::registry::reset();
        host::devices::StreamDriver driver;
        driver.init = DRX_Init;
        driver.deinit = DRX_Deinit;
        driver.open = DRX_Open;
        driver.close = DRX_Close;
        driver.read = DRX_Read;
        driver.write = DRX_Write;
        driver.seek = DRX_Seek;
        driver.ioControl = DRX_IOControl;
        host::devices::registerBuiltInDriver("DERMO.DLL", driver);
        SetDriverKeyString(u"Dll", u"DERMO.DLL");
        SetDriverKeyString(u"Prefix", u"DRX");
        SetDriverKeyDword(u"DetachPause", 0);
        fakeUsb.reset(sim::defaultProfile());
        handlesBefore = host::liveHandleCount();
    }

    void TearDown() override {
        // Closing a handle twice is harmless: a closed one is no longer live.
        for (OpenContext* open : directOpens) DRX_Close(reinterpret_cast<DWORD_PTR>(open));
        if (fakeUsb.notifyRoutine != nullptr) Unplug();
        EXPECT_EQ(fakeUsb.openPipes, 0);
        EXPECT_EQ(fakeUsb.openTransfers, 0);  // every transfer was closed, timed out or not
        EXPECT_EQ(host::liveHandleCount(), handlesBefore);
    }

    static void SetDriverKeyString(const WCHAR* name, const std::u16string& value) {
        HKEY key = OpenDriverKey();
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * 2));
        RegCloseKey(key);
    }

    static void SetDriverKeyDword(const WCHAR* name, DWORD value) {
        HKEY key = OpenDriverKey();
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }

    static HKEY OpenDriverKey() {
        HKEY key = nullptr;
        DWORD disposition = 0;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, DERMO_CLIENT_DRIVER_KEY, 0, nullptr, 0, 0, nullptr,
                        &key, &disposition);
        return key;
    }

    BOOL Attach(LPCUSB_FUNCS funcs = &fakeUsb.funcs, USB_HANDLE device = kDevice) {
        return USBDeviceAttach(device, funcs, nullptr, u"Papilla_USB_driver", &accept, nullptr, 0);
    }

    static DeviceContext* Context() { return static_cast<DeviceContext*>(fakeUsb.notifyParameter); }

    static HANDLE Open() {
        return CreateFileW(u"DRX1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }

    // The stack's close notification, on a thread of its own as the stack runs it.
    void StartUnplug() {
        const LPDEVICE_NOTIFY_ROUTINE routine = fakeUsb.notifyRoutine;
        const LPVOID parameter = fakeUsb.notifyParameter;
        fakeUsb.notifyRoutine = nullptr;
        notifier = std::thread([=, this] {
            notifyResult = routine(parameter, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr);
        });
    }

    void Unplug() {
        StartUnplug();
        notifier.join();
    }

    // Attaches and opens one handle directly at the stream interface, so that the test can see
    // the handle's own record.
    OpenContext* AttachAndOpen() {
        EXPECT_TRUE(Attach());
        return OpenDirect();
    }
    // Closed at the end of the test, before the unplug that waits for the last close.
    OpenContext* OpenDirect() {
        auto* open =
            reinterpret_cast<OpenContext*>(DRX_Open(reinterpret_cast<DWORD_PTR>(Context()), 0, 0));
        if (open != nullptr) directOpens.push_back(open);
        return open;
    }
    static DWORD_PTR Handle(OpenContext* open) { return reinterpret_cast<DWORD_PTR>(open); }

    static DWORD Read(OpenContext* open, void* buffer, DWORD count) {
        return DRX_Read(Handle(open), buffer, count);
    }
    static DWORD Write(OpenContext* open, const void* buffer, DWORD count) {
        return DRX_Write(Handle(open), buffer, count);
    }
    static BOOL Control(OpenContext* open, DWORD code, const void* in, DWORD inLength, void* out,
                        DWORD outLength, DWORD* returned = nullptr) {
        return DRX_IOControl(Handle(open), code, static_cast<PBYTE>(const_cast<void*>(in)),
                             inLength, static_cast<PBYTE>(out), outLength, returned);
    }
    static BOOL SetTimeouts(OpenContext* open, DWORD read, DWORD write, DWORD control) {
        const DWORD timeouts[] = {read, write, control};
        return Control(open, IOCTL_SENSOR_SET_TIMEOUTS, timeouts, sizeof timeouts, nullptr, 0);
    }

    BOOL accept = kUntouched;
    std::vector<OpenContext*> directOpens;
    std::size_t handlesBefore = 0;
    std::thread notifier;
    std::atomic<BOOL> notifyResult{FALSE};
};

}  // namespace dermo_test
