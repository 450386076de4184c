// What a simulated sensor is: its identifiers, its interface settings and endpoints, what the USB
// stack offers it, and the values of the driver key a test rig sets before plugging it. Profiles
// are TOML files (sim/sensor/profiles/*.toml); see the README's "The simulated sensor".
#pragma once

#include <host/usb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sensor/bulk_pacer.h"

namespace sim {

struct SensorEndpoint {
    BYTE address = 0;  // bit 7 set for IN
    BYTE type = 0;     // USB_ENDPOINT_TYPE_*
    WORD maxPacketSize = 64;
    BYTE interval = 0;
};

// One alternate setting of one interface.
struct SensorInterface {
    BYTE number = 0;
    BYTE alternateSetting = 0;
    BYTE interfaceClass = 0xFF;
    BYTE interfaceSubClass = 0;
    BYTE interfaceProtocol = 0;
    std::vector<SensorEndpoint> endpoints;
};

// A registry value: an integer is a REG_DWORD, a text a REG_SZ, a list of texts a REG_MULTI_SZ.
using RegistryData = std::variant<std::uint32_t, std::string, std::vector<std::string>>;
struct RegistryValue {
    std::string name;
    RegistryData data;
};

struct SensorProfile {
    std::string name = "sensor";
    WORD vendorId = 0x1A2B;
    WORD productId = 0x0101;
    WORD release = 0x0100;
    // String descriptors 1, 2 and 3; an empty text has none.
    std::string manufacturer = "Simulated Sensors";
    std::string product = "Fingerprint sensor";
    std::string serialNumber = "SIM-0001";
    std::vector<SensorInterface> interfaces;  // every alternate setting, in descriptor order
    BulkRate rate = BulkRate::Unpaced;
    // The captured image: columns, rows and the finger it shows.
    unsigned imageWidth = 160;
    unsigned imageHeight = 192;
    std::uint32_t imageSeed = 1;
    // Faults in force from the plug on (sensor_faults.h): name and argument.
    std::vector<std::pair<std::string, std::optional<std::uint32_t>>> faults;
    host::usb::SuspendOffer suspend = host::usb::SuspendOffer::Offered;
    std::vector<RegistryValue> driverKeyValues;
};

struct ProfileResult {
    std::optional<SensorProfile> profile;
    std::string error;  // "swipe.toml: interface 1: endpoint 2: unknown kind \"iso\""
};

// Parses a profile; source names it in errors. Every number is range-checked and the counts are
// bounded (16 interface settings, 30 endpoints each, 32 registry values, 16 faults; images of
// 8 to 1024 pixels a side).
ProfileResult parseProfile(std::string_view text, std::string_view source = "<profile>");
ProfileResult loadProfile(const std::string& path);

// The sensor the README describes: vendor 0x1A2B, product 0x0101, one vendor-specific interface
// with bulk IN 0x81, bulk OUT 0x02 and interrupt IN 0x83, suspend offered, no registry values.
SensorProfile defaultProfile();

// Writes the profile's driver key values under the client driver key
// HKEY_LOCAL_MACHINE\Drivers\USB\ClientDrivers\Papilla_USB_driver, creating it. False if a
// write fails.
bool writeDriverKeyValues(const SensorProfile& profile);

}  // namespace sim
