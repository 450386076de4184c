#include "usb/client_attach.h"

#include <dlfcn.h>

#include <optional>

#include "devices/device_manager.h"
#include "devices/driver_library.h"
#include "kernel/loader.h"
#include "devices/reg_values.h"
#include "text/text.h"
#include "usb/load_clients.h"

namespace ce::usb {
namespace {

constexpr WCHAR kDllValue[] = u"DLL";
constexpr DWORD kMaxKeyName = 256;

std::vector<std::u16string> subkeyNames(const devices::RegKey& key) {
    std::vector<std::u16string> names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[kMaxKeyName];
        DWORD length = kMaxKeyName;
        if (RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return names;
        names.emplace_back(name, length);
    }
}

class ClientSearch {
  public:
    explicit ClientSearch(Device& device) : device_(device) {}

    Client run() {
        const USB_DEVICE_DESCRIPTOR& d = device_.view().device().Descriptor;
        for (const GroupFields& product : groupForms({d.idVendor, d.idProduct, d.bcdDevice}))
            for (const GroupFields& deviceClass :
                 groupForms({d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol}))
                if (tryInterfaceGroups(product, deviceClass)) return std::move(found_);
        return {};
    }

  private:
    bool tryInterfaceGroups(const GroupFields& product, const GroupFields& deviceClass) {
        const USB_CONFIGURATION& active = device_.view().activeConfiguration();
        for (int kept = 3; kept >= 1; --kept)
            for (DWORD i = 0; i < active.dwNumInterfaces; ++i) {
                const USB_INTERFACE& setting = active.lpInterfaces[i];
                if (setting.Descriptor.bAlternateSetting != 0) continue;
                const USB_INTERFACE_DESCRIPTOR& d = setting.Descriptor;
                const GroupFields form = groupForms(
                    {d.bInterfaceClass, d.bInterfaceSubClass, d.bInterfaceProtocol})[3 - kept];
                if (tryKey(settingsOf(product, deviceClass, form), &setting)) return true;
            }
        const GroupFields any{USB_NO_INFO, USB_NO_INFO, USB_NO_INFO};
        return tryKey(settingsOf(product, deviceClass, any), nullptr);
    }

    bool tryKey(const USB_DRIVER_SETTINGS& settings, const USB_INTERFACE* setting) {
        const std::u16string path = *loadClientsPath(settings);
        const devices::RegKey key = devices::RegKey::open(HKEY_LOCAL_MACHINE, path);
        if (!key) return false;
        for (const std::u16string& driverId : subkeyNames(key)) {
            if (device_.isUnplugged()) return false;
            const std::u16string driverKey = path + u"\\" + driverId;
            const auto dll =
                devices::RegKey::open(HKEY_LOCAL_MACHINE, driverKey).readString(kDllValue);
            if (dll && tryClient(*dll, driverId, settings, setting)) {
                found_.driverId = text::toUtf8(driverId);
                found_.loadKey = text::toUtf8(driverKey);
                return true;
            }
        }
        return false;
    }

    bool tryClient(const std::u16string& dll, const std::u16string& driverId,
                   const USB_DRIVER_SETTINGS& settings, const USB_INTERFACE* setting) {
        void* library = openClientLibrary(dll);
        if (library == nullptr) return false;
        // dlsym hands back an object pointer; the export has exactly this type.
        const auto attach =
            reinterpret_cast<LPUSB_DEVICE_ATTACH>(dlsym(library, USB_DEVICE_ATTACH_PROCNAME));
        BOOL accepted = FALSE;
        if (attach != nullptr &&
            attach(device_.handle(), &device_.funcs(), setting, driverId.c_str(), &accepted,
                   &settings, 0) &&
            accepted) {
            found_.attached = true;
            found_.library = library;
            return true;
        }
        device_.releaseClientObjects();
        ce::kernel::closeLibrary(library);
        return false;
    }

    Device& device_;
    Client found_;
};

}  // namespace

Client attachClient(Device& device) {
    return ClientSearch(device).run();
}

void* openClientLibrary(const std::u16string& dllName) {
    return devices::openDriverLibrary(devices::DeviceManager::instance().libraryDirectory(),
                                      text::toUtf8(dllName));
}

}  // namespace ce::usb
