#include <host/registry.h>

#include <fstream>
#include <mutex>

#include "registry/key_tree.h"
#include "registry/reg_file.h"
#include "text/text.h"

namespace host::registry {
namespace {

using namespace ce::registry;

// With the registry locked exclusively. Nothing here can fail: the parser has checked every
// bound, so a file is applied completely or, having failed to parse, not at all.
void applyChanges(Registry& registry, const std::vector<RegKeyChange>& changes) {
    for (const RegKeyChange& change : changes) {
        const Path path(change.path.begin(), change.path.end());
        Key& root = registry.root(change.root);
        if (change.remove) {
            deleteKey(root, path);
            continue;
        }
        bool created = false;
        const std::shared_ptr<Key> key = createKey(root, path, created);
        for (const RegValueChange& value : change.values) {
            if (value.remove) {
                deleteValue(*key, value.name);
            } else {
                setValue(*key, value.name, value.type, value.data);
            }
        }
    }
}

LoadResult failure(std::string message) {
    return {false, std::move(message)};
}

}  // namespace

LoadResult loadText(std::string_view text, std::string_view source) {
    std::vector<RegKeyChange> changes;
    std::string error;
    if (!parseRegFile(text, source, changes, error)) return failure(std::move(error));
    Registry& registry = Registry::instance();
    std::unique_lock lock(registry.mutex());
    applyChanges(registry, changes);
    return {};
}

LoadResult loadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return failure(path + ": cannot open the file");
    // One byte more than the parser accepts, so that it can tell a file that is too large.
    std::string bytes(kMaxRegFileBytes + 1, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (file.bad()) return failure(path + ": cannot read the file");
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return loadText(bytes, path);
}

void reset() {
    Registry& registry = Registry::instance();
    std::unique_lock lock(registry.mutex());
    registry.resetLocked();
}

std::optional<std::string> exportText(std::string_view keyPath) {
    const std::u16string wide = ce::text::toWide(keyPath);
    const std::u16string_view full = wide;
    std::string out(kRegFileHeader);
    out.push_back('\n');
    Registry& registry = Registry::instance();
    std::shared_lock lock(registry.mutex());
    if (full.empty()) {
        for (const Root root : kRoots)
            writeRegSections(registry.root(root), std::u16string(rootName(root)), out);
        return out;
    }
    const std::u16string_view rootPart = full.substr(0, full.find(u'\\'));
    const auto root = rootFromName(rootPart);
    Path path;
    if (!root ||
        splitPath(full.substr(std::min(full.size(), rootPart.size() + 1)), path) != PathError::None)
        return std::nullopt;
    // The section names use the keys' own spelling, whatever case keyPath was written in.
    const Key* key = &registry.root(*root);
    std::u16string name(rootName(*root));
    for (const std::u16string_view part : path) {
        key = key->subkeys.find(part);
        if (key == nullptr) return std::nullopt;
        name += u'\\' + key->name;
    }
    writeRegSections(*key, name, out);
    return out;
}

}  // namespace host::registry
