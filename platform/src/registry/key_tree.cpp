#include "registry/key_tree.h"

#include "text/text.h"

namespace ce::registry {
namespace {

struct RootNames {
    Root root;
    std::u16string_view longName;
    std::u16string_view shortName;
};

constexpr std::array<RootNames, kRoots.size()> kRootNames = {{
    {Root::ClassesRoot, u"HKEY_CLASSES_ROOT", u"HKCR"},
    {Root::CurrentUser, u"HKEY_CURRENT_USER", u"HKCU"},
    {Root::LocalMachine, u"HKEY_LOCAL_MACHINE", u"HKLM"},
    {Root::Users, u"HKEY_USERS", u"HKU"},
}};

void markDeleted(Key& key) {
    key.deleted = true;
    for (const auto& sub : key.subkeys.items()) markDeleted(*sub);
}

}  // namespace

std::u16string foldName(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded) c = text::foldCase(c);
    return folded;
}

std::u16string_view rootName(Root root) {
    return kRootNames[static_cast<std::size_t>(root)].longName;
}

std::optional<Root> rootFromName(std::u16string_view name) {
    for (const RootNames& r : kRootNames) {
        if (text::equalsIgnoreCase(name, r.longName) || text::equalsIgnoreCase(name, r.shortName))
            return r.root;
    }
    return std::nullopt;
}

PathError splitPath(std::u16string_view path, Path& out) {
    out.clear();
    if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    if (path.empty()) return PathError::None;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(path.find(u'\\', start), path.size());
        const std::u16string_view name = path.substr(start, end - start);
        if (name.empty()) return PathError::EmptyName;
        if (name.size() > kMaxKeyNameLength) return PathError::NameTooLong;
        if (out.size() == kMaxKeyDepth) return PathError::TooDeep;
        out.push_back(name);
        if (end == path.size()) return PathError::None;
        start = end + 1;
    }
}

std::shared_ptr<Key> findKey(Key& from, const Path& path) {
    Key* key = &from;
    for (const std::u16string_view name : path) {
        key = key->subkeys.find(name);
        if (key == nullptr) return nullptr;
    }
    return key->shared_from_this();
}

std::shared_ptr<Key> createKey(Key& from, const Path& path, bool& created) {
    created = false;
    if (from.depth + path.size() > kMaxKeyDepth) return nullptr;
    Key* key = &from;
    for (const std::u16string_view name : path) {
        Key* sub = key->subkeys.find(name);
        if (sub == nullptr) {
            sub = &key->subkeys.add(std::make_shared<Key>(std::u16string(name), key->depth + 1));
            created = true;
        }
        key = sub;
    }
    return key->shared_from_this();
}

bool deleteKey(Key& from, const Path& path) {
    if (path.empty()) return false;
    const Path parentPath(path.begin(), path.end() - 1);
    const std::shared_ptr<Key> parent = findKey(from, parentPath);
    if (!parent) return false;
    const std::shared_ptr<Key> removed = parent->subkeys.remove(path.back());
    if (!removed) return false;
    markDeleted(*removed);
    return true;
}

void setValue(Key& key, std::u16string_view name, DWORD type, std::vector<BYTE> data) {
    Value* value = key.values.find(name);
    if (value == nullptr) {
        auto fresh = std::make_unique<Value>();
        fresh->name = std::u16string(name);
        value = &key.values.add(std::move(fresh));
    }
    value->type = type;
    value->data = std::move(data);
}

bool deleteValue(Key& key, std::u16string_view name) {
    return key.values.remove(name) != nullptr;
}

std::vector<BYTE> stringValueData(std::u16string_view s) {
    std::vector<BYTE> bytes;
    bytes.reserve((s.size() + 1) * 2);
    for (const char16_t c : s) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

Registry& Registry::instance() {
    static auto* registry = new Registry;
    return *registry;
}

Registry::Registry() {
    resetLocked();
}

void Registry::resetLocked() {
    for (auto& root : roots_) {
        if (root) markDeleted(*root);
        root = std::make_shared<Key>(std::u16string(), 0);
    }
    addDefaultEntries(*this);
}

}  // namespace ce::registry
