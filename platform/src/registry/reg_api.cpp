// The Reg*W functions of the core library. They return their error code and leave the thread's
// last error alone, as the handheld's do.
#include <windows.h>

#include <cstring>
#include <mutex>

#include "kernel/object.h"
#include "registry/key_tree.h"
#include "text/text.h"

using ce::registry::Key;
using ce::registry::Registry;
using ce::registry::Root;

namespace {

using SharedLock = std::shared_lock<std::shared_mutex>;
using ExclusiveLock = std::unique_lock<std::shared_mutex>;

// An open key. The handle keeps its key alive; a key deleted meanwhile reads as deleted.
class KeyHandle final : public ce::kernel::Object {
  public:
    explicit KeyHandle(std::shared_ptr<Key> k) : key(std::move(k)) {}
    const std::shared_ptr<Key> key;
};

constexpr std::uintptr_t kFirstPredefined = 0x80000000u;

// What an HKEY names: one of the predefined roots, or an open key. It is looked up before the
// registry lock is taken; the roots themselves are only read under that lock, because resetting
// the registry replaces them.
struct KeyRef {
    std::optional<Root> root;
    std::shared_ptr<KeyHandle> handle;
};

LONG refer(HKEY hKey, KeyRef& ref) {
    const auto value = reinterpret_cast<std::uintptr_t>(hKey);
    if (value >= kFirstPredefined && value < kFirstPredefined + ce::registry::kRoots.size()) {
        ref.root = static_cast<Root>(value - kFirstPredefined);
        return ERROR_SUCCESS;
    }
    ref.handle = ce::kernel::lookupHandleAs<KeyHandle>(reinterpret_cast<HANDLE>(hKey));
    return ref.handle ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// Runs fn(key) with the registry locked as Lock says, after the checks every call makes.
template <class Lock, class Fn>
LONG withKey(HKEY hKey, Fn&& fn) {
    KeyRef ref;
    if (const LONG error = refer(hKey, ref); error != ERROR_SUCCESS) return error;
    Registry& registry = Registry::instance();
    Lock lock(registry.mutex());
    Key& key = ref.root ? registry.root(*ref.root) : *ref.handle->key;
    if (key.deleted) return ERROR_KEY_DELETED;
    return fn(key);
}

LONG pathError(ce::registry::PathError error) {
    switch (error) {
        case ce::registry::PathError::None:
            return ERROR_SUCCESS;
        case ce::registry::PathError::EmptyName:
            return ERROR_BAD_PATHNAME;
        case ce::registry::PathError::NameTooLong:
        case ce::registry::PathError::TooDeep:
            break;
    }
    return ERROR_INVALID_PARAMETER;
}

HKEY newHandle(std::shared_ptr<Key> key) {
    return reinterpret_cast<HKEY>(
        ce::kernel::insertHandle(std::make_shared<KeyHandle>(std::move(key))));
}

// Copies a name and its terminator into a caller's buffer of *capacity characters. On success
// *capacity is the length without the terminator; when it does not fit, ERROR_MORE_DATA and
// *capacity is the size the buffer needs, terminator included.
LONG copyName(std::u16string_view name, LPWSTR buffer, LPDWORD capacity) {
    if (*capacity <= name.size()) {
        *capacity = static_cast<DWORD>(name.size() + 1);
        return ERROR_MORE_DATA;
    }
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = 0;
    *capacity = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// The data half of RegQueryValueExW and RegEnumValueW. A null buffer asks for the size only; a
// buffer that is too small is left untouched and told the size it needs.
LONG copyData(const ce::registry::Value& value, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (type) *type = value.type;
    if (size == nullptr) return ERROR_SUCCESS;
    const auto needed = static_cast<DWORD>(value.data.size());
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed > 0) std::memcpy(data, value.data.data(), needed);
    }
    *size = needed;
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    ce::registry::Path path;
    if (const LONG error = pathError(ce::registry::splitPath(ce::text::wideView(lpSubKey), path)))
        return error;
    std::shared_ptr<Key> found;
    const LONG result = withKey<SharedLock>(hKey, [&](Key& key) -> LONG {
        found = ce::registry::findKey(key, path);
        return found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (result == ERROR_SUCCESS) *phkResult = newHandle(std::move(found));
    return result;
}

extern "C" LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                                       LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                                       LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    ce::registry::Path path;
    if (const LONG error = pathError(ce::registry::splitPath(ce::text::wideView(lpSubKey), path)))
        return error;
    std::shared_ptr<Key> key;
    bool created = false;
    const LONG result = withKey<ExclusiveLock>(hKey, [&](Key& parent) -> LONG {
        key = ce::registry::createKey(parent, path, created);
        return key ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    });
    if (result != ERROR_SUCCESS) return result;
    *phkResult = newHandle(std::move(key));
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcName,
                                     LPDWORD, LPWSTR lpClass, LPDWORD lpcClass,
                                     PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcName == nullptr || (lpClass != nullptr && lpcClass == nullptr))
        return ERROR_INVALID_PARAMETER;
    return withKey<SharedLock>(hKey, [&](Key& key) -> LONG {
        const auto& subkeys = key.subkeys.items();
        if (dwIndex >= subkeys.size()) return ERROR_NO_MORE_ITEMS;
        const LONG result = copyName(subkeys[dwIndex]->name, lpName, lpcName);
        if (result != ERROR_SUCCESS) return result;
        // Keys carry no class; the time of the last write is not kept.
        if (lpClass != nullptr && *lpcClass > 0) lpClass[0] = 0;
        if (lpcClass != nullptr) *lpcClass = 0;
        if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
        return ERROR_SUCCESS;
    });
}

extern "C" LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                     LPDWORD lpcValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                     LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcValueName == nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    return withKey<SharedLock>(hKey, [&](Key& key) -> LONG {
        const auto& values = key.values.items();
        if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
        const ce::registry::Value& value = *values[dwIndex];
        const LONG result = copyName(value.name, lpValueName, lpcValueName);
        if (result != ERROR_SUCCESS) {
            if (lpcbData) *lpcbData = static_cast<DWORD>(value.data.size());
            return result;
        }
        return copyData(value, lpType, lpData, lpcbData);
    });
}

extern "C" LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    const std::u16string_view name = ce::text::wideView(lpValueName);
    return withKey<SharedLock>(hKey, [&](Key& key) -> LONG {
        const ce::registry::Value* value = key.values.find(name);
        if (value == nullptr) return ERROR_FILE_NOT_FOUND;
        return copyData(*value, lpType, lpData, lpcbData);
    });
}

extern "C" LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                                      const BYTE* lpData, DWORD cbData) {
    if ((lpData == nullptr && cbData > 0) || cbData > ce::registry::kMaxValueDataBytes)
        return ERROR_INVALID_PARAMETER;
    const std::u16string_view name = ce::text::wideView(lpValueName);
    if (name.size() > ce::registry::kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> data(lpData, lpData + cbData);
    return withKey<ExclusiveLock>(hKey, [&](Key& key) -> LONG {
        ce::registry::setValue(key, name, dwType, std::move(data));
        return ERROR_SUCCESS;
    });
}

extern "C" LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    const std::u16string_view name = ce::text::wideView(lpValueName);
    return withKey<ExclusiveLock>(hKey, [&](Key& key) -> LONG {
        return ce::registry::deleteValue(key, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

// As on the handheld, the key goes with all its subkeys.
extern "C" LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    ce::registry::Path path;
    if (const LONG error = pathError(ce::registry::splitPath(ce::text::wideView(lpSubKey), path)))
        return error;
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    return withKey<ExclusiveLock>(hKey, [&](Key& key) -> LONG {
        return ce::registry::deleteKey(key, path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

extern "C" LONG WINAPI RegCloseKey(HKEY hKey) {
    KeyRef ref;
    if (const LONG error = refer(hKey, ref); error != ERROR_SUCCESS) return error;
    if (ref.root) return ERROR_SUCCESS;
    // Another thread may have closed the same handle since it was looked up.
    return ce::kernel::closeHandle(reinterpret_cast<HANDLE>(hKey)) ? ERROR_SUCCESS
                                                                   : ERROR_INVALID_HANDLE;
}
