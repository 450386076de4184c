#include "control_commands.h"

#include <dermo.h>
#include <sensor/sensor_registers.h>

#include <array>
#include <functional>
#include <map>

#include "png_image.h"

namespace drx_tool {
namespace {

namespace reg = sim::registers;

constexpr std::size_t kShownBytes = 32;
constexpr std::uint32_t kMaxReadSize = 1u << 24;

// One DeviceIoControl call: the error (0 on success) and the byte count.
struct Call {
    DWORD error = 0;
    DWORD returned = 0;
};

Call control(HANDLE handle, DWORD code, const void* in, DWORD inLength, void* out = nullptr,
             DWORD outLength = 0) {
    Call call;
    if (!DeviceIoControl(handle, code, const_cast<void*>(in), inLength, out, outLength,
                         &call.returned, nullptr))
        call.error = GetLastError();
    return call;
}

// The numbers args[first...] as words; nullopt when one is missing or not a number.
std::optional<std::vector<DWORD>> numbers(const Arguments& args, std::size_t first,
                                          std::size_t count) {
    if (args.size() < first + count) return std::nullopt;
    std::vector<DWORD> values;
    for (std::size_t i = first; i < first + count; ++i) {
        const auto value = parseNumber(args[i]);
        if (!value) return std::nullopt;
        values.push_back(*value);
    }
    return values;
}

std::optional<DWORD> selector(const std::string& text) {
    if (text == "IN") return PIPE_SELECT_IN;
    if (text == "OUT") return PIPE_SELECT_OUT;
    if (text == "BOTH") return PIPE_SELECT_BOTH;
    return parseNumber(text);
}

Outcome done(const Call& call, std::vector<Field> fields = {}) {
    if (call.error != 0) return failure(call.error);
    return {0, std::move(fields)};
}

DWORD vendorRead(HANDLE handle, DWORD index, void* data, DWORD length, DWORD& returned) {
    const SENSOR_VENDOR_REQUEST record{0, length, data, index};
    const Call call = control(handle, IOCTL_SENSOR_VENDOR_READ, &record, sizeof record);
    returned = call.returned;
    return call.error;
}

DWORD vendorWrite(HANDLE handle, DWORD index, const void* data, DWORD length) {
    const SENSOR_VENDOR_REQUEST record{0, length, const_cast<void*>(data), index};
    return control(handle, IOCTL_SENSOR_VENDOR_WRITE, &record, sizeof record).error;
}

// ARGS after the name, per code.
using Handler = std::function<Outcome(HANDLE, const Arguments&)>;

Outcome pipeReset(HANDLE handle, const Arguments& args, DWORD code) {
    const auto pipes = args.empty() ? std::nullopt : selector(args[0]);
    if (!pipes) return usage("expected IN, OUT, BOTH or a selector");
    return done(control(handle, code, &*pipes, sizeof *pipes));
}

Outcome vendorReadCode(HANDLE handle, const Arguments& args) {
    const auto values = numbers(args, 0, 2);
    if (!values || (*values)[1] > 0xFFFF) return usage("expected INDEX LENGTH");
    std::vector<std::uint8_t> data((*values)[1]);
    DWORD returned = 0;
    if (const DWORD error = vendorRead(handle, (*values)[0], data.data(), (*values)[1], returned))
        return failure(error);
    return {0, {{"bytes", std::int64_t{returned}}, {"data", toHex(data.data(), returned)}}};
}

Outcome vendorWriteCode(HANDLE handle, const Arguments& args) {
    const auto index = args.size() == 2 ? parseNumber(args[0]) : std::nullopt;
    const auto data = args.size() == 2 ? parseHex(args[1]) : std::nullopt;
    if (!index || !data || data->empty() || data->size() > 0xFFFF)
        return usage("expected INDEX HEX");
    if (const DWORD error =
            vendorWrite(handle, *index, data->data(), static_cast<DWORD>(data->size())))
        return failure(error);
    return {0, {{"bytes", std::int64_t(data->size())}}};
}

Outcome packetSizes(HANDLE handle, const Arguments&) {
    SENSOR_PACKET_SIZES sizes{};
    const Call call =
        control(handle, IOCTL_SENSOR_GET_MAX_PACKET_SIZES, nullptr, 0, &sizes, sizeof sizes);
    return done(call, {{"interrupt_in", std::int64_t{sizes.interruptIn}},
                       {"bulk_in", std::int64_t{sizes.bulkIn}},
                       {"bulk_out", std::int64_t{sizes.bulkOut}}});
}

Outcome deviceIds(HANDLE handle, const Arguments&) {
    SENSOR_DEVICE_IDS ids{};
    const Call call = control(handle, IOCTL_SENSOR_GET_DEVICE_IDS, nullptr, 0, &ids, sizeof ids);
    return done(call, {{"vendor", hex4(ids.vendorId)},
                       {"product", hex4(ids.productId)},
                       {"release", hex4(ids.release)}});
}

// TYPE [INDEX [LANGUAGE [LENGTH]]]
Outcome descriptor(HANDLE handle, const Arguments& args) {
    const auto values = numbers(args, 0, args.size());
    if (!values || values->empty() || values->size() > 4)
        return usage("expected TYPE [INDEX [LANGUAGE [LENGTH]]]");
    const auto at = [&](std::size_t i, DWORD fallback) {
        return i < values->size() ? (*values)[i] : fallback;
    };
    const SENSOR_DESCRIPTOR_REQUEST request{
        static_cast<BYTE>(at(0, 0)), static_cast<BYTE>(at(1, 0)), static_cast<WORD>(at(2, 0x0409))};
    std::vector<std::uint8_t> out(std::min<DWORD>(at(3, 255), 0xFFFF));
    const Call call = control(handle, IOCTL_SENSOR_GET_DESCRIPTOR, &request, sizeof request,
                              out.data(), static_cast<DWORD>(out.size()));
    return done(
        call, {{"bytes", std::int64_t{call.returned}}, {"data", toHex(out.data(), call.returned)}});
}

Outcome timeouts(HANDLE handle, const Arguments& args) {
    const auto values = numbers(args, 0, 3);
    if (!values) return usage("expected READ WRITE CONTROL (milliseconds, 0 keeps one)");
    const SENSOR_TIMEOUTS request{(*values)[0], (*values)[1], (*values)[2]};
    return done(control(handle, IOCTL_SENSOR_SET_TIMEOUTS, &request, sizeof request));
}

Outcome fixedInfo(HANDLE handle, const Arguments& args) {
    const auto length = args.empty() ? std::optional<DWORD>{16} : parseNumber(args[0]);
    if (!length || *length > 64) return usage("expected [LENGTH] up to 64");
    std::array<DWORD, 16> words{};
    const Call call =
        control(handle, IOCTL_SENSOR_EXT_GET_FIXED_INFO, nullptr, 0, words.data(), *length);
    std::string info;
    for (DWORD i = 0; i < call.returned / sizeof(DWORD); ++i)
        info += (i > 0 ? "," : "") + std::to_string(words[i]);
    return done(call, {{"bytes", std::int64_t{call.returned}}, {"info", info}});
}

Outcome getProperty(HANDLE handle, const Arguments& args) {
    const auto values = numbers(args, 0, 1);
    if (!values) return usage("expected ID");
    const SENSOR_PROPERTY_REQUEST request{(*values)[0], 0, 0};
    DWORD value = 0;
    const Call call =
        control(handle, IOCTL_SENSOR_EXT_GET_PROPERTY, &request, sizeof request, &value, 4);
    return done(call, {{"value", std::int64_t{value}}});
}

Outcome setProperty(HANDLE handle, const Arguments& args) {
    const auto values = numbers(args, 0, 2);
    if (!values) return usage("expected ID VALUE");
    const SENSOR_PROPERTY_REQUEST request{(*values)[0], 0, (*values)[1]};
    return done(control(handle, IOCTL_SENSOR_EXT_SET_PROPERTY, &request, sizeof request));
}

Outcome noopChecked(HANDLE handle, const Arguments&) {
    const DWORD input[2] = {};
    return done(control(handle, IOCTL_SENSOR_EXT_NOOP_CHECKED, input, sizeof input));
}

Outcome noop(HANDLE handle, const Arguments&) {
    return done(control(handle, IOCTL_SENSOR_EXT_NOOP, nullptr, 0));
}

const std::map<std::string, Handler>& handlers() {
    using namespace std::placeholders;
    static const std::map<std::string, Handler> table = {
        {"IOCTL_SENSOR_ABORT_AND_RESET_PIPES",
         std::bind(pipeReset, _1, _2, DWORD{IOCTL_SENSOR_ABORT_AND_RESET_PIPES})},
        {"IOCTL_SENSOR_RESET_PIPES", std::bind(pipeReset, _1, _2, DWORD{IOCTL_SENSOR_RESET_PIPES})},
        {"IOCTL_SENSOR_VENDOR_READ", vendorReadCode},
        {"IOCTL_SENSOR_VENDOR_WRITE", vendorWriteCode},
        {"IOCTL_SENSOR_GET_MAX_PACKET_SIZES", packetSizes},
        {"IOCTL_SENSOR_GET_DEVICE_IDS", deviceIds},
        {"IOCTL_SENSOR_GET_DESCRIPTOR", descriptor},
        {"IOCTL_SENSOR_SET_TIMEOUTS", timeouts},
        {"IOCTL_SENSOR_EXT_GET_FIXED_INFO", fixedInfo},
        {"IOCTL_SENSOR_EXT_GET_PROPERTY", getProperty},
        {"IOCTL_SENSOR_EXT_SET_PROPERTY", setProperty},
        {"IOCTL_SENSOR_EXT_NOOP_CHECKED", noopChecked},
        {"IOCTL_SENSOR_EXT_NOOP", noop},
    };
    return table;
}

}  // namespace

std::vector<std::string> controlCodeNames() {
    std::vector<std::string> names;
    for (const auto& [name, handler] : handlers()) names.push_back(name);
    return names;
}

Outcome readCommand(HANDLE handle, const Arguments& arguments) {
    const auto count = arguments.empty() ? std::nullopt : parseNumber(arguments[0]);
    if (!count || *count > kMaxReadSize) return usage("expected N, up to 16 MiB");
    std::vector<std::uint8_t> data(*count);
    DWORD done = 0;
    if (!ReadFile(handle, data.data(), *count, &done, nullptr)) return failure(GetLastError());
    return {0,
            {{"bytes", std::int64_t{done}},
             {"data", toHex(data.data(), std::min<std::size_t>(done, kShownBytes))}}};
}

Outcome writeCommand(HANDLE handle, const Arguments& arguments) {
    const auto data = arguments.empty() ? std::nullopt : parseHex(arguments[0]);
    if (!data) return usage("expected HEX");
    DWORD done = 0;
    if (!WriteFile(handle, data->data(), static_cast<DWORD>(data->size()), &done, nullptr))
        return failure(GetLastError());
    return {0, {{"bytes", std::int64_t{done}}}};
}

Outcome ioctlCommand(HANDLE handle, const Arguments& arguments) {
    if (arguments.empty()) return usage("expected a control code");
    const Arguments rest(arguments.begin() + 1, arguments.end());
    const auto entry = handlers().find(arguments[0]);
    if (entry != handlers().end()) return entry->second(handle, rest);
    if (const auto code = parseNumber(arguments[0]))
        return done(control(handle, *code, nullptr, 0));
    return usage("unknown control code");
}

Outcome captureCommand(HANDLE handle, const Arguments& arguments) {
    if (arguments.size() != 1) return usage("expected FILE.png");
    std::uint8_t size[4] = {};
    DWORD returned = 0;
    if (const DWORD error = vendorRead(handle, reg::kWidth, size, sizeof size, returned))
        return failure(error);
    const unsigned width = size[0] | size[1] << 8;
    const unsigned height = size[2] | size[3] << 8;
    const std::uint8_t start = reg::kModeCapture;
    if (const DWORD error = vendorWrite(handle, reg::kControl, &start, 1)) return failure(error);
    std::vector<std::uint8_t> pixels(std::size_t{width} * height);
    DWORD done = 0;
    if (!ReadFile(handle, pixels.data(), static_cast<DWORD>(pixels.size()), &done, nullptr))
        return failure(GetLastError());
    std::vector<Field> fields{{"width", std::int64_t{width}},
                              {"height", std::int64_t{height}},
                              {"bytes", std::int64_t{done}}};
    pixels.resize(done);
    std::string error;
    if (!writeGreyPng(arguments[0], width, height, pixels, error)) {
        fields.push_back({"message", error});
        return failure(ERROR_CANTWRITE, std::move(fields));
    }
    fields.push_back({"file", arguments[0]});
    return {0, std::move(fields)};
}

}  // namespace drx_tool
