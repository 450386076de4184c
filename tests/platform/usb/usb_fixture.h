// The fixture of the USB stack's tests: a clean registry, the test client library loaded from
// the same file the stack loads, and a test device model.
#pragma once

#include <gtest/gtest.h>
#include <host/handles.h>
#include <host/usb.h>

#include <memory>
#include <optional>
#include <string>

#include "test_client.h"
#include "test_device.h"

class UsbTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    TestClientState& client() { return *state_; }
    // Registers the test client through its USBInstallDriver.
    void installClient();
    // Plugs `device` (installing the client first) and expects the client to take it.
    host::usb::DeviceId plugAttached(host::usb::PlugOptions options = {});
    void unplugAndWait(host::usb::DeviceId id);

    static std::optional<std::u16string> readString(const std::u16string& key,
                                                    const char16_t* name);
    static bool keyExists(const std::u16string& key);

    std::shared_ptr<TestDevice> device = std::make_shared<TestDevice>();
    std::size_t handlesBefore = 0;

  private:
    void* library_ = nullptr;
    TestClientState* state_ = nullptr;
    std::optional<host::usb::DeviceId> plugged_;
};

inline constexpr char kTestClientDll[] = "USBTESTCLIENT.DLL";
