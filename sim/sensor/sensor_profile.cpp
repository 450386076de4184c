#include "sensor/sensor_profile.h"

#include <toml++/toml.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>

#include "sensor/sensor_faults.h"

namespace sim {
namespace {

constexpr std::size_t kMaxInterfaces = 16;
constexpr std::size_t kMaxEndpoints = 30;
constexpr std::size_t kMaxRegistryValues = 32;
constexpr std::size_t kMaxTextLength = 256;
constexpr std::size_t kMaxFaults = 16;
constexpr std::int64_t kMinImageSide = 8;
constexpr std::int64_t kMaxImageSide = 1024;

// Thrown inside the parser only, caught at its end and turned into the result's error; with the
// line of the profile when the error is about one key.
struct ProfileError : std::runtime_error {
    explicit ProfileError(const std::string& what, std::uint32_t onLine = 0)
        : std::runtime_error(what), line(onLine) {}
    std::uint32_t line;
};

// Refuses keys that are not listed: a misspelt key or table would otherwise be ignored silently.
// `what` names the table in errors ("" for the top level).
void allowOnly(const toml::table& table, const std::string& what,
               std::initializer_list<std::string_view> keys) {
    for (const auto& [key, value] : table)
        if (std::find(keys.begin(), keys.end(), key.str()) == keys.end())
            throw ProfileError((what.empty() ? "" : what + ": ") + "unknown key \"" +
                                   std::string(key.str()) + "\"",
                               key.source().begin.line);
}

// The table under `key` of the top level, if there is one, with its keys checked.
void checkTable(const toml::table& root, std::string_view key,
                std::initializer_list<std::string_view> keys) {
    const toml::node* node = root.get(key);
    if (node == nullptr) return;
    if (!node->is_table()) throw ProfileError(std::string(key) + ": expected a table");
    allowOnly(*node->as_table(), std::string(key), keys);
}

std::int64_t integer(const toml::node_view<const toml::node>& node, const std::string& what,
                     std::int64_t low, std::int64_t high, std::int64_t fallback) {
    if (!node) return fallback;
    const auto value = node.value<std::int64_t>();
    if (!node.is_integer() || !value) throw ProfileError(what + ": expected an integer");
    if (*value < low || *value > high)
        throw ProfileError(what + ": " + std::to_string(*value) + " is out of range " +
                           std::to_string(low) + ".." + std::to_string(high));
    return *value;
}

BYTE byteField(const toml::node_view<const toml::node>& node, const std::string& what,
               BYTE fallback) {
    return static_cast<BYTE>(integer(node, what, 0, 0xFF, fallback));
}

WORD wordField(const toml::node_view<const toml::node>& node, const std::string& what,
               WORD fallback) {
    return static_cast<WORD>(integer(node, what, 0, 0xFFFF, fallback));
}

std::string text(const toml::node& node, const std::string& what) {
    const auto value = node.value<std::string>();
    if (!node.is_string() || !value) throw ProfileError(what + ": expected a text");
    if (value->size() > kMaxTextLength) throw ProfileError(what + ": text too long");
    return *value;
}

// "bulk-in", "bulk-out", "interrupt-in", "interrupt-out", "control", "isochronous-in", ...
void endpointKind(const std::string& kind, const std::string& what, SensorEndpoint& endpoint,
                  bool& in) {
    const auto dash = kind.rfind('-');
    const std::string type = dash == std::string::npos ? kind : kind.substr(0, dash);
    const std::string direction = dash == std::string::npos ? "" : kind.substr(dash + 1);
    if (type == "control")
        endpoint.type = USB_ENDPOINT_TYPE_CONTROL;
    else if (type == "isochronous")
        endpoint.type = USB_ENDPOINT_TYPE_ISOCHRONOUS;
    else if (type == "bulk")
        endpoint.type = USB_ENDPOINT_TYPE_BULK;
    else if (type == "interrupt")
        endpoint.type = USB_ENDPOINT_TYPE_INTERRUPT;
    else
        throw ProfileError(what + ": unknown kind \"" + kind + "\"");
    if (direction == "in")
        in = true;
    else if (direction == "out" || (direction.empty() && type == "control"))
        in = false;
    else
        throw ProfileError(what + ": kind \"" + kind + "\" needs -in or -out");
}

SensorEndpoint parseEndpoint(const toml::node& node, const std::string& what, BYTE defaultNumber) {
    const toml::table* table = node.as_table();
    if (table == nullptr) throw ProfileError(what + ": expected a table");
    allowOnly(*table, what, {"kind", "number", "max_packet_size", "interval"});
    const toml::node_view<const toml::node> view{node};
    SensorEndpoint endpoint;
    bool in = false;
    const toml::node* kind = table->get("kind");
    if (kind == nullptr) throw ProfileError(what + ": missing kind");
    endpointKind(text(*kind, what + ": kind"), what, endpoint, in);
    const BYTE number =
        static_cast<BYTE>(integer(view["number"], what + ": number", 0, 15, defaultNumber));
    endpoint.address = static_cast<BYTE>(number | (in ? USB_ENDPOINT_DIRECTION_MASK : 0));
    endpoint.maxPacketSize = wordField(view["max_packet_size"], what + ": max_packet_size",
                                       endpoint.type == USB_ENDPOINT_TYPE_INTERRUPT ? 8 : 64);
    endpoint.interval = byteField(view["interval"], what + ": interval",
                                  endpoint.type == USB_ENDPOINT_TYPE_INTERRUPT ? 10 : 0);
    return endpoint;
}

SensorInterface parseInterface(const toml::node& node, const std::string& what) {
    if (!node.is_table()) throw ProfileError(what + ": expected a table");
    allowOnly(*node.as_table(), what,
              {"number", "alternate", "class", "subclass", "protocol", "endpoints"});
    const toml::node_view<const toml::node> view{node};
    SensorInterface setting;
    setting.number = byteField(view["number"], what + ": number", 0);
    setting.alternateSetting = byteField(view["alternate"], what + ": alternate", 0);
    setting.interfaceClass = byteField(view["class"], what + ": class", 0xFF);
    setting.interfaceSubClass = byteField(view["subclass"], what + ": subclass", 0);
    setting.interfaceProtocol = byteField(view["protocol"], what + ": protocol", 0);
    if (const toml::node* endpoints = node.as_table()->get("endpoints")) {
        const toml::array* list = endpoints->as_array();
        if (list == nullptr) throw ProfileError(what + ": endpoints: expected a list");
        if (list->size() > kMaxEndpoints) throw ProfileError(what + ": too many endpoints");
        for (std::size_t i = 0; i < list->size(); ++i)
            setting.endpoints.push_back(parseEndpoint(*list->get(i),
                                                      what + ": endpoint " + std::to_string(i + 1),
                                                      static_cast<BYTE>(i + 1)));
    }
    return setting;
}

host::usb::SuspendOffer parseSuspend(const toml::node& node) {
    if (const auto offered = node.value<bool>(); node.is_boolean() && offered)
        return *offered ? host::usb::SuspendOffer::Offered : host::usb::SuspendOffer::NullEntries;
    const std::string value = text(node, "stack: suspend");
    if (value == "offered") return host::usb::SuspendOffer::Offered;
    if (value == "null-entries") return host::usb::SuspendOffer::NullEntries;
    if (value == "short-table") return host::usb::SuspendOffer::ShortTable;
    throw ProfileError(
        "stack: suspend: expected true, false, \"offered\", \"null-entries\" or "
        "\"short-table\"");
}

BulkRate parseRate(const toml::node& node) {
    const std::string value = text(node, "bulk: rate");
    if (value == "unpaced") return BulkRate::Unpaced;
    if (value == "full-speed") return BulkRate::FullSpeed;
    if (value == "high-speed") return BulkRate::HighSpeed;
    throw ProfileError("bulk: rate: expected \"unpaced\", \"full-speed\" or \"high-speed\"");
}

void parseFaults(const toml::node& node, SensorProfile& profile) {
    const toml::table* faults = node.as_table();
    if (faults == nullptr) throw ProfileError("faults: expected a table");
    if (faults->size() > kMaxFaults) throw ProfileError("faults: too many faults");
    for (const auto& [key, value] : *faults) {
        const std::string name(key.str());
        const std::string what = "faults: " + name;
        SensorFaults probe;
        std::optional<std::uint32_t> arg;
        if (const auto flag = value.value<bool>(); value.is_boolean() && flag) {
            if (!*flag) continue;
        } else {
            const toml::node_view<const toml::node> view{value};
            arg = static_cast<std::uint32_t>(integer(view, what, 0, 0xFFFFFFFF, 0));
        }
        if (!applyFault(probe, name, arg)) throw ProfileError(what + ": unknown fault");
        profile.faults.emplace_back(name, arg);
    }
}

RegistryValue parseRegistryValue(const std::string& name, const toml::node& node) {
    const std::string what = "registry: " + name;
    if (node.is_integer()) {
        const toml::node_view<const toml::node> view{node};
        return {name, static_cast<std::uint32_t>(integer(view, what, 0, 0xFFFFFFFF, 0))};
    }
    if (node.is_string()) return {name, text(node, what)};
    if (const toml::array* list = node.as_array()) {
        std::vector<std::string> texts;
        for (const toml::node& item : *list) texts.push_back(text(item, what));
        return {name, texts};
    }
    throw ProfileError(what + ": expected an integer, a text or a list of texts");
}

SensorProfile parseTable(const toml::table& root) {
    allowOnly(root, "",
              {"name", "device", "interface", "stack", "bulk", "capture", "faults", "registry"});
    checkTable(root, "device",
               {"vendor_id", "product_id", "release", "manufacturer", "product", "serial"});
    checkTable(root, "stack", {"suspend"});
    checkTable(root, "bulk", {"rate"});
    checkTable(root, "capture", {"width", "height", "seed"});
    SensorProfile profile;
    profile.interfaces.clear();
    const toml::node_view<const toml::node> view{root};
    if (const toml::node* name = root.get("name")) profile.name = text(*name, "name");
    profile.vendorId = wordField(view["device"]["vendor_id"], "device: vendor_id", 0x1A2B);
    profile.productId = wordField(view["device"]["product_id"], "device: product_id", 0x0101);
    profile.release = wordField(view["device"]["release"], "device: release", 0x0100);
    const std::pair<const char*, std::string*> strings[] = {{"manufacturer", &profile.manufacturer},
                                                            {"product", &profile.product},
                                                            {"serial", &profile.serialNumber}};
    for (const auto& [key, field] : strings)
        if (const toml::node* node = view["device"][key].node())
            *field = text(*node, std::string("device: ") + key);
    if (const toml::node* rate = root.at_path("bulk.rate").node()) profile.rate = parseRate(*rate);
    profile.imageWidth = static_cast<unsigned>(
        integer(view["capture"]["width"], "capture: width", kMinImageSide, kMaxImageSide, 160));
    profile.imageHeight = static_cast<unsigned>(
        integer(view["capture"]["height"], "capture: height", kMinImageSide, kMaxImageSide, 192));
    profile.imageSeed = static_cast<std::uint32_t>(
        integer(view["capture"]["seed"], "capture: seed", 0, 0xFFFFFFFF, 1));
    if (const toml::node* faults = root.get("faults")) parseFaults(*faults, profile);

    if (const toml::node* interfaces = root.get("interface")) {
        const toml::array* list = interfaces->as_array();
        if (list == nullptr) throw ProfileError("interface: expected [[interface]] tables");
        if (list->size() > kMaxInterfaces) throw ProfileError("interface: too many settings");
        for (std::size_t i = 0; i < list->size(); ++i)
            profile.interfaces.push_back(
                parseInterface(*list->get(i), "interface " + std::to_string(i + 1)));
    } else {
        profile.interfaces = defaultProfile().interfaces;
    }

    if (const toml::node* suspend = root.at_path("stack.suspend").node())
        profile.suspend = parseSuspend(*suspend);

    if (const toml::node* registry = root.get("registry")) {
        const toml::table* values = registry->as_table();
        if (values == nullptr) throw ProfileError("registry: expected a table");
        if (values->size() > kMaxRegistryValues) throw ProfileError("registry: too many values");
        for (const auto& [name, value] : *values)
            profile.driverKeyValues.push_back(parseRegistryValue(std::string(name.str()), value));
    }
    return profile;
}

}  // namespace

SensorProfile defaultProfile() {
    SensorProfile profile;
    profile.name = "swipe sensor";
    profile.interfaces = {{0,
                           0,
                           0xFF,
                           0,
                           0,
                           {{0x81, USB_ENDPOINT_TYPE_BULK, 64, 0},
                            {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0},
                            {0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10}}}};
    return profile;
}

ProfileResult parseProfile(std::string_view text, std::string_view source) {
    const std::string prefix = std::string(source) + ": ";
    try {
        const toml::table root = toml::parse(text, source);
        return {parseTable(root), {}};
    } catch (const toml::parse_error& error) {
        std::ostringstream message;
        message << source << ":" << error.source().begin.line << ": " << error.description();
        return {std::nullopt, message.str()};
    } catch (const ProfileError& error) {
        if (error.line == 0) return {std::nullopt, prefix + error.what()};
        return {std::nullopt,
                std::string(source) + ":" + std::to_string(error.line) + ": " + error.what()};
    }
}

ProfileResult loadProfile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return {std::nullopt, path + ": cannot be read"};
    std::ostringstream contents;
    contents << file.rdbuf();
    return parseProfile(contents.str(), path);
}

}  // namespace sim
