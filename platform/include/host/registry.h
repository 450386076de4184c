// Host control API: the registry.
//
// For tools, device models and tests only; code written for the handheld uses the Reg*W calls.
// Registry files use the .reg export format: a "REGEDIT4" or "Windows Registry Editor Version
// 5.00" header, [key] and [-key] sections, and "name"="text", dword:, hex: and hex(N): values or
// "name"=- to delete one. A file is UTF-8 (a byte order mark is allowed) or UTF-16LE with its
// byte order mark. Under the REGEDIT4 header the bytes of hex(2) and hex(7) data are narrow text,
// stored as UTF-16 like every string. A line ends in a backslash to go on in the next one, except
// where the backslash ends a comment.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace host::registry {

struct LoadResult {
    bool ok = true;
    // On failure, where and why: "devices.reg:7: expected '=' after value name".
    std::string error;

    explicit operator bool() const { return ok; }
};

// Merges a .reg file over the registry. The whole file is checked first: a file with an error
// changes nothing. Errors name the file as given in path.
LoadResult loadFile(const std::string& path);

// The same for .reg text held in memory (the bytes of a file); source names it in errors.
LoadResult loadText(std::string_view text, std::string_view source = "<text>");

// Back to the built-in registry: HKEY_LOCAL_MACHINE\SYSTEM\Versions with "AKU" = ".2.0" and an
// empty HKEY_LOCAL_MACHINE\Drivers\Active. Keys that are still open read as deleted afterwards.
void reset();

// The key at keyPath ("HKEY_LOCAL_MACHINE\Drivers\Active", or with a short root name such as
// "HKLM\Drivers"; empty for the whole registry) with all its subkeys, as UTF-8 .reg text under
// the version 5.00 header, which loadText reads back to the same registry. Nothing when no such
// key exists.
std::optional<std::string> exportText(std::string_view keyPath = {});

}  // namespace host::registry
