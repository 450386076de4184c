// The driver as the handheld runs it: the USB stack loads libdermo.so for the simulated sensor,
// the device manager loads it again (the same copy) for DRX1:, and the test opens the device.
// Each test installs the driver into an empty registry and must leave no handle, device, pipe
// or transfer behind.
#pragma once

#include <dermo.h>
#include <gtest/gtest.h>
#include <host/devices.h>
#include <host/handles.h>
#include <host/registry.h>
#include <host/usb.h>
#include <sensor/sensor.h>
#include <windows.h>

#include <memory>
#include <string>

namespace dermo_stack_test {

inline sim::SensorProfile Profile(const char* name) {
    const auto result =
        sim::loadProfile(std::string(DERMO_SENSOR_PROFILE_DIR) + "/" + name + ".toml");
    EXPECT_TRUE(result.profile) << result.error;
    sim::SensorProfile profile = result.profile.value_or(sim::defaultProfile());
    // No pause between the last close and the teardown, so that unplugs finish at once.
    profile.driverKeyValues.push_back({"DetachPause", std::uint32_t{0}});
    return profile;
}

inline bool DrxActive() {
    for (const auto& device : host::devices::activeDevices())
        if (device.name == "DRX1:") return true;
    return false;
}

inline HANDLE Open() {
    return CreateFileW(u"DRX1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// The driver refuses every control request with ERROR_NOT_READY once it has seen the sensor
// go; until then an unknown code is ERROR_NOT_SUPPORTED. Bounded: five seconds.
inline bool WaitDetached(HANDLE drx) {
    for (int i = 0; i < 5000; ++i) {
        if (!DeviceIoControl(drx, 0, nullptr, 0, nullptr, 0, nullptr, nullptr) &&
            GetLastError() == ERROR_NOT_READY)
            return true;
        Sleep(1);
    }
    return false;
}

class StackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::registry::reset();
        host::devices::setLibraryDirectory(DERMO_LIBRARY_DIR);
        ASSERT_TRUE(host::usb::installDriver("DERMO.DLL"));
        handlesBefore = host::liveHandleCount();
    }

    void TearDown() override {
        if (drx != INVALID_HANDLE_VALUE) CloseHandle(drx);
        if (id != 0) {
            host::usb::unplug(id);
            EXPECT_TRUE(host::usb::waitUnplugged(id, 10000));
        }
        EXPECT_EQ(host::liveHandleCount(), handlesBefore);
        const host::usb::LiveObjects live = host::usb::liveObjects();
        EXPECT_EQ(live.devices, 0u);
        EXPECT_EQ(live.pipes, 0u);
        EXPECT_EQ(live.transfers, 0u);
    }

    host::usb::PlugResult Plug(const sim::SensorProfile& profile) {
        EXPECT_TRUE(sim::writeDriverKeyValues(profile));
        sensor = std::make_shared<sim::Sensor>(profile);
        const host::usb::PlugResult result = host::usb::plug(sensor, {profile.suspend});
        id = result.id;
        sensor->setDeviceId(id);
        return result;
    }

    // Plugs the profile and opens DRX1:; the handle is closed at the end of the test.
    HANDLE PlugAndOpen(const sim::SensorProfile& profile) {
        EXPECT_TRUE(Plug(profile).attached);
        drx = Open();
        EXPECT_NE(drx, INVALID_HANDLE_VALUE);
        return drx;
    }

    // The call's outcome: 0, or the last error; `returned` holds the byte count.
    DWORD Control(DWORD code, const void* in, DWORD inLength, void* out = nullptr,
                  DWORD outLength = 0) {
        returned = 0;
        return DeviceIoControl(drx, code, const_cast<void*>(in), inLength, out, outLength,
                               &returned, nullptr)
                   ? 0
                   : GetLastError();
    }
    DWORD VendorRead(DWORD index, void* data, DWORD length) {
        const SENSOR_VENDOR_REQUEST record{0, length, data, index};
        return Control(IOCTL_SENSOR_VENDOR_READ, &record, sizeof record);
    }
    DWORD VendorWrite(DWORD index, const void* data, DWORD length, DWORD value = 0) {
        const SENSOR_VENDOR_REQUEST record{value, length, const_cast<void*>(data), index};
        return Control(IOCTL_SENSOR_VENDOR_WRITE, &record, sizeof record);
    }
    DWORD SetTimeouts(DWORD read, DWORD write, DWORD control) {
        const SENSOR_TIMEOUTS timeouts{read, write, control};
        return Control(IOCTL_SENSOR_SET_TIMEOUTS, &timeouts, sizeof timeouts);
    }
    // ReadFile's outcome: the bytes read, or -1 with the error in `error`.
    long long Read(void* buffer, DWORD count) {
        DWORD done = 0;
        if (ReadFile(drx, buffer, count, &done, nullptr)) return done;
        error = GetLastError();
        return -1;
    }
    long long Write(const void* buffer, DWORD count) {
        DWORD done = 0;
        if (WriteFile(drx, buffer, count, &done, nullptr)) return done;
        error = GetLastError();
        return -1;
    }

    HANDLE drx = INVALID_HANDLE_VALUE;
    DWORD returned = 0;
    DWORD error = 0;

    void UnplugAndWait() {
        ASSERT_TRUE(host::usb::unplug(id));
        ASSERT_TRUE(host::usb::waitUnplugged(id, 10000));
        id = 0;
    }

    std::shared_ptr<sim::Sensor> sensor;
    host::usb::DeviceId id = 0;
    std::size_t handlesBefore = 0;
};

}  // namespace dermo_stack_test
