// The registry's in-memory tree.
//
// One process-wide tree guarded by one reader/writer lock: calls that only read take it shared,
// calls that change the tree take it exclusively, and loading a .reg file applies all of its
// changes under one exclusive hold, so readers see either none or all of them.
//
// Key and value names compare without case but keep the spelling they were created with; both
// are listed in creation order, which is the order enumeration reports them in.
#pragma once

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ce::registry {

// Bounds on what callers and .reg files may store, so that untrusted input cannot make the tree
// (or the recursion over it) grow without limit.
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxKeyDepth = 512;
inline constexpr std::size_t kMaxValueNameLength = 16383;
inline constexpr std::size_t kMaxValueDataBytes = std::size_t{1} << 20;

// The form of a name under which lookups find it whatever its case.
std::u16string foldName(std::u16string_view name);

// Items with a name, kept in creation order and found by folded name.
template <class Ptr>
class NamedList {
  public:
    using Item = typename Ptr::element_type;

    Item* find(std::u16string_view name) const {
        const auto it = index_.find(foldName(name));
        return it == index_.end() ? nullptr : it->second;
    }

    Item& add(Ptr item) {
        index_.emplace(foldName(item->name), item.get());
        items_.push_back(std::move(item));
        return *items_.back();
    }

    // Takes the item of that name out of the list; null when there is none.
    Ptr remove(std::u16string_view name) {
        const auto it = index_.find(foldName(name));
        if (it == index_.end()) return nullptr;
        const Item* target = it->second;
        index_.erase(it);
        const auto pos = std::find_if(items_.begin(), items_.end(),
                                      [target](const Ptr& p) { return p.get() == target; });
        Ptr taken = std::move(*pos);
        items_.erase(pos);
        return taken;
    }

    const std::vector<Ptr>& items() const { return items_; }

  private:
    std::vector<Ptr> items_;
    std::unordered_map<std::u16string, Item*> index_;
};

struct Value {
    std::u16string name;  // empty for the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// Every field is guarded by Registry::mutex(). Open handles share ownership of their key, so a
// key deleted from the tree lives on, marked deleted, until its last handle is closed.
struct Key : std::enable_shared_from_this<Key> {
    Key(std::u16string keyName, std::size_t keyDepth) : name(std::move(keyName)), depth(keyDepth) {}

    std::u16string name;
    std::size_t depth;  // 0 for a root
    bool deleted = false;
    NamedList<std::shared_ptr<Key>> subkeys;
    NamedList<std::unique_ptr<Value>> values;
};

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users };
inline constexpr std::array kRoots = {Root::ClassesRoot, Root::CurrentUser, Root::LocalMachine,
                                      Root::Users};

// The long name (HKEY_LOCAL_MACHINE) that exports use.
std::u16string_view rootName(Root root);
// Accepts the long names and the short ones (HKLM, HKCU, HKCR, HKU), in any case.
std::optional<Root> rootFromName(std::u16string_view name);

enum class PathError { None, EmptyName, NameTooLong, TooDeep };
using Path = std::vector<std::u16string_view>;

// Splits "A\B\C" into its key names; a trailing backslash is allowed. The views point into path.
PathError splitPath(std::u16string_view path, Path& out);

// The tree operations. Callers hold Registry::mutex(): shared for findKey, exclusive for the rest.
std::shared_ptr<Key> findKey(Key& from, const Path& path);
// Creates the missing keys along path; null when the result would be deeper than kMaxKeyDepth.
std::shared_ptr<Key> createKey(Key& from, const Path& path, bool& created);
// Removes the key at path with all its subkeys; every key removed reads as deleted from then on.
bool deleteKey(Key& from, const Path& path);
// Replaces the data of an existing value (keeping its spelling and position) or adds a new one.
void setValue(Key& key, std::u16string_view name, DWORD type, std::vector<BYTE> data);
bool deleteValue(Key& key, std::u16string_view name);

// The bytes of a REG_SZ value holding s: UTF-16LE code units and the terminator.
std::vector<BYTE> stringValueData(std::u16string_view s);

class Registry {
  public:
    // Built on first use and never destroyed, so that libraries detaching at process exit still
    // find it.
    static Registry& instance();

    std::shared_mutex& mutex() { return mutex_; }
    // With mutex() held.
    Key& root(Root root) const { return *roots_[static_cast<std::size_t>(root)]; }
    // With mutex() held exclusively: a fresh tree holding only the built-in defaults. Keys of the
    // old tree that are still open read as deleted.
    void resetLocked();

  private:
    Registry();

    std::shared_mutex mutex_;
    std::array<std::shared_ptr<Key>, kRoots.size()> roots_;
};

// The keys and values every host run starts with (defaults.cpp).
void addDefaultEntries(Registry& registry);

}  // namespace ce::registry
