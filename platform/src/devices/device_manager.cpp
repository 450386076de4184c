#include "devices/device_manager.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "devices/driver_library.h"
#include "kernel/loader.h"
#include "devices/open_device.h"
#include "devices/reg_values.h"
#include "text/text.h"

namespace ce::devices {
namespace {

bool isAsciiLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}
bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

std::string lowerAscii(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::u16string upperAscii(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
}

bool hasRequiredEntries(const host::devices::StreamDriver& d) {
    return d.init && d.deinit && d.open && d.close;
}

// Device handles are multiples of four plus two, so that they can never be mistaken for a kernel
// handle (multiples of four) by CloseHandle; they fit the 32-bit "Hnd" value.
HANDLE toHandle(DWORD value) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

void waitIdle(Device& device) {
    std::unique_lock lock(device.lock);
    device.idle.wait(lock, [&] { return device.inFlight == 0; });
}

std::vector<std::shared_ptr<OpenDevice>> liveOpens(Device& device) {
    std::lock_guard guard(device.lock);
    std::vector<std::shared_ptr<OpenDevice>> opens;
    for (const auto& weak : device.opens)
        if (auto open = weak.lock()) opens.push_back(std::move(open));
    return opens;
}

}  // namespace

bool isDeviceName(std::u16string_view name) {
    if (name.size() < 5 || name.back() != u':') return false;
    if (!std::all_of(name.begin(), name.begin() + 3, isAsciiLetter)) return false;
    return std::all_of(name.begin() + 3, name.end() - 1, isDigit);
}

DeviceManager& DeviceManager::instance() {
    static auto* manager = new DeviceManager;
    return *manager;
}

void DeviceManager::registerBuiltIn(const std::string& dllName,
                                    const host::devices::StreamDriver& driver) {
    std::lock_guard guard(lock_);
    builtIns_[lowerAscii(dllName)] = driver;
}

void DeviceManager::setLibraryDirectory(const std::string& directory) {
    std::lock_guard guard(lock_);
    libraryDirectory_ = directory;
}

std::string DeviceManager::libraryDirectory() {
    std::lock_guard guard(lock_);
    return libraryDirectory_;
}

bool DeviceManager::loadDriver(const std::u16string& dllName, const std::string& prefix,
                               Driver& out) {
    const std::string name = text::toUtf8(dllName);
    std::string directory;
    {
        std::lock_guard guard(lock_);
        if (const auto it = builtIns_.find(lowerAscii(name)); it != builtIns_.end()) {
            if (!hasRequiredEntries(it->second)) {
                SetLastError(ERROR_PROC_NOT_FOUND);
                return false;
            }
            out.entries = it->second;
            out.library = nullptr;
            return true;
        }
        directory = libraryDirectory_;
    }
    auto loaded = loadDriverLibrary(directory, name, prefix);
    if (!loaded) return false;
    out.entries = loaded->driver;
    out.library = loaded->handle;
    return true;
}

bool DeviceManager::reserve(const std::shared_ptr<Device>& device, const std::u16string& prefix,
                            std::optional<DWORD> index) {
    std::lock_guard guard(lock_);
    const auto taken = [&](DWORD i) {
        const std::u16string name = prefix + text::toWide(std::to_string(i)) + u":";
        return std::any_of(devices_.begin(), devices_.end(),
                           [&](const auto& d) { return text::equalsIgnoreCase(d->name, name); });
    };
    DWORD chosen = 1;
    if (index) {
        chosen = *index;
        if (taken(chosen)) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return false;
        }
    } else {
        while (taken(chosen)) ++chosen;
    }
    // The Active key is numbered in activation order, skipping every number a key already has
    // (a port of another driver, loaded from a .reg file): creating the key is the test, so no
    // other writer can take the number between a check and the use.
    for (;;) {
        char number[16];
        std::snprintf(number, sizeof number, "%02u", static_cast<unsigned>(nextActiveNumber_++));
        device->activeKey = u"Drivers\\Active\\" + text::toWide(number);
        HKEY key = nullptr;
        DWORD disposition = 0;
        const LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, device->activeKey.c_str(), 0,
                                           nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition);
        if (error != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(error));
            return false;
        }
        RegCloseKey(key);
        if (disposition == REG_CREATED_NEW_KEY) break;
    }
    device->name = prefix + text::toWide(std::to_string(chosen)) + u":";
    device->handle = (nextHandle_++ << 2) | 2;
    devices_.push_back(device);
    return true;
}

void DeviceManager::unreserve(const Device& device) {
    std::lock_guard guard(lock_);
    std::erase_if(devices_, [&](const auto& d) { return d.get() == &device; });
}

HANDLE DeviceManager::activate(std::u16string_view driverKey, LPCREGINI values, DWORD valueCount,
                               DWORD_PTR clientInfo) {
    // "ClientInfo" is a REG_DWORD: a wider value (an address on this host) would be cut, so it is
    // refused rather than stored truncated.
    if (clientInfo > MAXDWORD || (values == nullptr && valueCount > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::optional<std::u16string> dllName;
    std::optional<std::u16string> prefix;
    std::optional<DWORD> index;
    {
        const RegKey key = RegKey::open(HKEY_LOCAL_MACHINE, driverKey);
        if (!key) return nullptr;
        dllName = key.readString(DEVLOAD_DLLNAME_VALNAME);
        prefix = key.readString(DEVLOAD_PREFIX_VALNAME);
        index = key.readDword(DEVLOAD_INDEX_VALNAME);
    }
    if (!dllName || dllName->empty() || !prefix || prefix->size() != 3 ||
        !std::all_of(prefix->begin(), prefix->end(), isAsciiLetter)) {
        SetLastError(ERROR_BADKEY);
        return nullptr;
    }
    *prefix = upperAscii(*prefix);

    Driver driver;
    if (!loadDriver(*dllName, text::toUtf8(*prefix), driver)) return nullptr;
    auto device = std::make_shared<Device>();
    device->driverKey = std::u16string(driverKey);
    device->driver = driver.entries;
    device->library = driver.library;
    const auto unload = [&] {
        if (device->library != nullptr) ce::kernel::closeLibrary(device->library);
    };
    if (!reserve(device, *prefix, index)) {
        unload();
        return nullptr;
    }
    const auto fail = [&](DWORD error) -> HANDLE {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, device->activeKey.c_str());
        unreserve(*device);
        unload();
        SetLastError(error);
        return nullptr;
    };

    {
        const RegKey active = RegKey::open(HKEY_LOCAL_MACHINE, device->activeKey);
        bool written =
            active && active.writeDword(DEVLOAD_HANDLE_VALNAME, device->handle) &&
            active.writeString(DEVLOAD_DEVNAME_VALNAME, device->name) &&
            active.writeString(DEVLOAD_DEVKEY_VALNAME, device->driverKey) &&
            active.writeDword(DEVLOAD_CLIENTINFO_VALNAME, static_cast<DWORD>(clientInfo));
        for (DWORD i = 0; written && i < valueCount; ++i)
            written = RegSetValueExW(active.get(), values[i].lpszVal, 0, values[i].dwType,
                                     values[i].pData, values[i].dwLen) == ERROR_SUCCESS;
        if (!written) return fail(ERROR_CANTWRITE);
    }

    SetLastError(ERROR_SUCCESS);
    const DWORD_PTR context =
        device->driver.init(reinterpret_cast<DWORD_PTR>(device->activeKey.c_str()),
                            reinterpret_cast<LPCVOID>(clientInfo));
    if (context == 0) {
        const DWORD error = GetLastError();
        return fail(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    }
    device->context = context;
    {
        std::lock_guard guard(lock_);
        device->ready = true;
    }
    return toHandle(device->handle);
}

BOOL DeviceManager::deactivate(HANDLE handle) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard guard(lock_);
        const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) {
            return d->ready && toHandle(d->handle) == handle;
        });
        if (it == devices_.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        device = *it;
        devices_.erase(it);
    }
    {
        std::lock_guard guard(device->lock);
        device->removed = true;
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, device->activeKey.c_str());

    // Wake every call blocked in the driver, let them all return, close what is still open, and
    // only then let the driver free its device context. The opens are collected again after the
    // first wait: an Open that was under way when the removal began has registered by then.
    if (device->driver.preDeinit) device->driver.preDeinit(device->context);
    for (const auto& open : liveOpens(*device)) open->preCloseForRemoval();
    waitIdle(*device);
    for (const auto& open : liveOpens(*device)) open->closeForRemoval();
    waitIdle(*device);
    device->driver.deinit(device->context);
    if (device->library != nullptr) ce::kernel::closeLibrary(device->library);
    return TRUE;
}

HANDLE DeviceManager::open(std::u16string_view name, DWORD access, DWORD share) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard guard(lock_);
        const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) {
            return d->ready && text::equalsIgnoreCase(d->name, name);
        });
        if (it == devices_.end()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        device = *it;
    }
    {
        std::lock_guard guard(device->lock);
        if (device->removed) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return INVALID_HANDLE_VALUE;
        }
        ++device->inFlight;
    }
    SetLastError(ERROR_SUCCESS);
    const DWORD_PTR context = device->driver.open(device->context, access, share);
    const DWORD error = GetLastError();
    std::shared_ptr<OpenDevice> open;
    {
        std::lock_guard guard(device->lock);
        if (context != 0) {
            open = std::make_shared<OpenDevice>(device, context);
            std::erase_if(device->opens, [](const auto& weak) { return weak.expired(); });
            device->opens.push_back(open);
        }
        if (--device->inFlight == 0) device->idle.notify_all();
    }
    if (!open) {
        SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    return kernel::insertHandle(std::move(open));
}

std::vector<host::devices::ActiveDevice> DeviceManager::list() {
    std::lock_guard guard(lock_);
    std::vector<host::devices::ActiveDevice> result;
    for (const auto& d : devices_)
        if (d->ready)
            result.push_back(
                {text::toUtf8(d->name), text::toUtf8(d->driverKey), text::toUtf8(d->activeKey)});
    return result;
}

}  // namespace ce::devices
