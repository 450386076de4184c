#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>

#include "host_commands.h"
#include "peripheral/peripheral.h"
#include "shown_text.h"
#include "wire_trace.h"

namespace kest_tool {
namespace {

using Arguments = std::span<const std::string>;

// Only a peripheral that has stopped reading takes this long to catch up.
constexpr std::chrono::milliseconds kSettleBound{10000};

sim::Peripheral& simulated(CommandContext& context) {
    if (context.peripheral == nullptr)
        throw UsageError("there is no simulated peripheral (--no-peripheral)");
    return *context.peripheral;
}

// Decimal, or hexadecimal after 0x.
std::uint32_t faultValue(const std::string& text, const sim::FaultInfo& info) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* begin = text.data() + (hex ? 2 : 0);
    const char* end = text.data() + text.size();
    std::uint64_t value = 0;
    const auto [stop, error] = std::from_chars(begin, end, value, hex ? 16 : 10);
    if (error != std::errc{} || stop != end || begin == end || value < info.min || value > info.max)
        throw UsageError(std::string(info.name) + " takes an integer from " +
                         std::to_string(info.min) + " to " + std::to_string(info.max) + ", not '" +
                         tool_text::excerpt(text) + "'");
    return static_cast<std::uint32_t>(value);
}

CommandResult fault(Arguments a, sim::Peripheral& peripheral) {
    if (a.empty() || a.size() > 2) throw UsageError("usage: peripheral fault NAME [ARG]");
    sim::Responder& responder = peripheral.responder();
    sim::FaultSet faults = responder.faults();
    if (a[0] == "none") {
        if (a.size() > 1) throw UsageError("none takes no argument");
        faults.clearAll();
    } else {
        const sim::FaultInfo* info = sim::findFault(a[0]);
        if (info == nullptr) throw UsageError("unknown fault '" + tool_text::excerpt(a[0]) + "'");
        if (info->takesValue != (a.size() == 2))
            throw UsageError(std::string(info->name) +
                             (info->takesValue ? " needs an argument" : " takes no argument"));
        faults.arm(info->fault, info->takesValue ? faultValue(a[1], *info) : 1);
    }
    responder.setFaults(faults);
    return {0, {{"faults", faults.describe()}}};
}

int hexDigit(char c) {
    if (std::isdigit(static_cast<unsigned char>(c))) return c - '0';
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// "21 00 02", "210002" or a mix: pairs of hexadecimal digits.
std::vector<std::uint8_t> hexBytes(Arguments words) {
    std::vector<std::uint8_t> bytes;
    for (const std::string& word : words) {
        if (word.size() % 2 != 0)
            throw UsageError("'" + tool_text::excerpt(word) +
                             "' is not a whole number of hexadecimal bytes");
        for (std::size_t i = 0; i < word.size(); i += 2) {
            const int high = hexDigit(word[i]);
            const int low = hexDigit(word[i + 1]);
            if (high < 0 || low < 0)
                throw UsageError("'" + tool_text::excerpt(word) + "' is not hexadecimal");
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
        }
    }
    if (bytes.empty() || bytes.size() > sim::kMaxFramePayload)
        throw UsageError("a payload of 1 to 255 bytes is sent");
    return bytes;
}

// The payload goes out in one frame of type 0, as the peripheral sends its messages.
CommandResult send(Arguments a, sim::Peripheral& peripheral) {
    const std::vector<std::uint8_t> payload = hexBytes(a);
    const bool sent = peripheral.sendFrame(0, payload);
    return {sent ? 0 : 1, {{"sent", sent ? static_cast<std::int64_t>(payload.size()) : 0}}};
}

// Every frame received since the start, decoded as the wire trace shows it, and the function
// selectors of the ActivatePeripheral messages among them. A command that sends returns once
// its bytes have left the library, before the peripheral has read them: the log first waits
// until it has, or says that frames are still in flight.
CommandResult log(Arguments a, sim::Peripheral& peripheral) {
    if (!a.empty()) throw UsageError("log takes no argument");
    const bool settled = peripheral.waitForSettled(kSettleBound);
    const std::vector<sim::Frame> frames = peripheral.receivedFrames();
    std::string received;
    for (const sim::Frame& frame : frames) {
        const std::vector<std::uint8_t> wire = sim::encodeFrame(frame.type, frame.payload);
        received += (received.empty() ? "" : "; ") + describeFrame(wire);
    }
    std::string activations;
    for (const std::uint8_t selector : peripheral.responder().activations())
        activations += (activations.empty() ? "" : " ") + std::to_string(selector);
    CommandResult result{0,
                         {{"frames", static_cast<std::int64_t>(frames.size())},
                          {"received", received},
                          {"activations", activations}}};
    if (!settled) {
        result.code = 1;
        result.fields.push_back({"in_flight", "frames still in flight"});
    }
    return result;
}

}  // namespace

CommandResult peripheralCommand(Arguments arguments, CommandContext& context) {
    sim::Peripheral& peripheral = simulated(context);
    const Arguments rest = arguments.subspan(1);
    if (arguments[0] == "fault") return fault(rest, peripheral);
    if (arguments[0] == "send") return send(rest, peripheral);
    if (arguments[0] == "log") return log(rest, peripheral);
    throw UsageError("expected fault, send or log, not '" + tool_text::excerpt(arguments[0]) + "'");
}

std::string faultHelp() {
    std::string text;
    for (const sim::FaultInfo& info : sim::faultTable()) {
        std::string usage(info.name);
        if (info.takesValue) usage += " N";
        usage.resize(std::max<std::size_t>(usage.size() + 2, 26), ' ');
        text += "  " + usage + std::string(info.meaning) + "\n";
    }
    return text;
}

}  // namespace kest_tool
