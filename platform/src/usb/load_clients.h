// The layout of HKEY_LOCAL_MACHINE\Drivers\USB\LoadClients (see <usbdi.h>): the key that
// registers a client for a USB_DRIVER_SETTINGS, and the keys that may name a client for a device.
#pragma once

#include <usbdi.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace ce::usb {

inline constexpr char16_t kLoadClientsKey[] = u"Drivers\\USB\\LoadClients";
inline constexpr char16_t kClientDriversKey[] = u"Drivers\\USB\\ClientDrivers";

using GroupFields = std::array<DWORD, 3>;

// "1_2_3", "1_2", "1" or "Default"; nothing if a field follows one that is USB_NO_INFO.
std::optional<std::u16string> groupName(const GroupFields& fields);

// LoadClients\<group 1>\<group 2>\<group 3>; nothing if a group cannot be named.
std::optional<std::u16string> loadClientsPath(const USB_DRIVER_SETTINGS& settings);

// The settings a key made of these groups stands for; fields left out are USB_NO_INFO.
USB_DRIVER_SETTINGS settingsOf(const GroupFields& device, const GroupFields& deviceClass,
                               const GroupFields& interfaceClass);

// The forms of a group that match these fields, most specific first, "Default" last.
std::vector<GroupFields> groupForms(const GroupFields& fields);

}  // namespace ce::usb
