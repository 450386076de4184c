#include "registry/key_tree.h"

namespace ce::registry {
void addDefaultEntries(Registry& registry) {
    Key& machine = registry.root(Root::LocalMachine);
    bool created = false;
    // The handheld's image spells its adaptation kit update with a leading dot.
    const auto versions = createKey(machine, {u"SYSTEM", u"Versions"}, created);
    setValue(*versions, u"AKU", REG_SZ, stringValueData(u".2.0"));
    createKey(machine, {u"Drivers", u"Active"}, created);
}

}  // namespace ce::registry
