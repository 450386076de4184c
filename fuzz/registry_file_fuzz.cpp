// Feeds arbitrary bytes to the .reg loader. Beyond not crashing, whatever loads must export and
// load back to exactly the same registry.
#include <host/registry.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

[[noreturn]] void mismatch(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    host::registry::reset();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!host::registry::loadText(text, "fuzz.reg")) return 0;
    const auto exported = host::registry::exportText();
    if (!exported) mismatch("the whole registry did not export", "");

    // Every built-in key lives under these two, so clearing them leaves an empty tree.
    host::registry::reset();
    if (!host::registry::loadText("REGEDIT4\n[-HKLM\\SYSTEM]\n[-HKLM\\Drivers]\n", "clear.reg"))
        mismatch("clearing the built-in keys failed", "");
    const auto reloaded = host::registry::loadText(*exported, "export.reg");
    if (!reloaded) mismatch("an export did not load back", reloaded.error + "\n" + *exported);
    const auto again = host::registry::exportText();
    if (again != exported)
        mismatch("an export read back differently", *exported + "\n----\n" + *again);
    return 0;
}
