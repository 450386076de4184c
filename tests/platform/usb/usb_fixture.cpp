#include "usb_fixture.h"

#include <dlfcn.h>
#include <host/devices.h>
#include <host/handles.h>
#include <host/registry.h>

void UsbTest::SetUp() {
    host::registry::reset();
    host::devices::setLibraryDirectory(TEST_CLIENT_DIR);
    library_ = dlopen(TEST_CLIENT_DIR "/libusbtestclient.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    const auto stateOf = reinterpret_cast<TestClientStateFn>(dlsym(library_, "TestClient_State"));
    ASSERT_NE(stateOf, nullptr);
    state_ = stateOf();
    *state_ = TestClientState{};
    handlesBefore = host::liveHandleCount();
}

void UsbTest::TearDown() {
    if (plugged_ && host::usb::unplug(*plugged_)) {
        EXPECT_TRUE(host::usb::waitUnplugged(*plugged_, 10000));
    }
    if (library_ != nullptr) dlclose(library_);
}

void UsbTest::installClient() {
    ASSERT_TRUE(host::usb::installDriver(kTestClientDll));
}

host::usb::DeviceId UsbTest::plugAttached(host::usb::PlugOptions options) {
    installClient();
    const host::usb::PlugResult result = host::usb::plug(device, options);
    EXPECT_NE(result.id, 0u);
    EXPECT_TRUE(result.attached);
    plugged_ = result.id;
    return result.id;
}

void UsbTest::unplugAndWait(host::usb::DeviceId id) {
    ASSERT_TRUE(host::usb::unplug(id));
    ASSERT_TRUE(host::usb::waitUnplugged(id, 10000));
}

std::optional<std::u16string> UsbTest::readString(const std::u16string& key, const char16_t* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return std::nullopt;
    char16_t buffer[128] = {};
    DWORD size = sizeof buffer - sizeof buffer[0];
    DWORD type = 0;
    const LONG result =
        RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
    return std::u16string(buffer);
}

bool UsbTest::keyExists(const std::u16string& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}
