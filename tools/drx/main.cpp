// drx: the sensor driver on this host, with the simulated sensor.
//
//   drx [--json] [--library-dir DIR] [--profiles DIR] demo [--output FILE.png]
//   drx [--json] [--library-dir DIR] [--profiles DIR] shell
//   drx --usb [VID:PID] demo | shell   the same against real devices, through libusb
//
// demo installs the driver, plugs the simulated sensor, opens its DRX device, shows its
// identifiers and packet sizes, captures a fingerprint into a PNG file (fingerprint.png), closes
// the device and unplugs. shell reads commands from standard input, one a line (a prompt on a
// terminal), and prints one line per command:
//   result: COMMAND CODE [key=value ...]   CODE is 0, or the last error (also as error=NAME)
// With --json each line is a JSON object: {"event":"result","command":...,"code":...,...}.
#include <host/devices.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <optional>
#include <string>

#include "checked_output.h"
#include "install_paths.h"
#include "line_reader.h"
#include "session.h"
#include "shown_text.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kExitCodes[] = R"(Exit codes:
  0  every command, or every step of the demo, gave 0
  1  a command or a step gave an error (the demo stops at it)
  2  bad options, an unknown command or bad arguments (the shell skips the line and goes on))";

// The demo stops at the first step that does not give 0; the session then closes and unplugs.
int runDemo(drx_tool::Format format, const std::string& profiles,
            const std::optional<host::libusb::Match>& usb, const std::string& output) {
    drx_tool::Session session(format, profiles, usb);
    for (const std::string& step :
         {std::string("install"), std::string("plug"), std::string("open"),
          std::string("ioctl 1 IOCTL_SENSOR_GET_DEVICE_IDS"),
          std::string("ioctl 1 IOCTL_SENSOR_GET_MAX_PACKET_SIZES"), "capture 1 " + output,
          std::string("close 1"), std::string("unplug")}) {
        session.run(step);
        if (session.exitCode() != 0) {
            std::cerr << "drx: demo: step '" << step << "' did not succeed" << std::endl;
            return session.exitCode();
        }
    }
    return 0;
}

int runShell(drx_tool::Format format, const std::string& profiles,
             const std::optional<host::libusb::Match>& usb) {
    tool_text::LineReader reader(std::cin, isatty(STDIN_FILENO) == 1, "drx> ");
    drx_tool::Session session(format, profiles, usb);
    while (const std::optional<std::string> line = reader.next())
        if (!session.run(*line)) break;
    return session.exitCode();
}

// "VID:PID" in hexadecimal; empty matches any device.
std::optional<host::libusb::Match> parseUsbMatch(const std::string& text) {
    if (text.empty()) return host::libusb::Match{};
    const auto colon = text.find(':');
    const auto field = [](const std::string& part) -> std::optional<WORD> {
        if (part.empty() || part.size() > 4 ||
            part.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return std::nullopt;
        return static_cast<WORD>(std::stoul(part, nullptr, 16));
    };
    if (colon == std::string::npos) return std::nullopt;
    const auto vendor = field(text.substr(0, colon));
    const auto product = field(text.substr(colon + 1));
    if (!vendor || !product) return std::nullopt;
    return host::libusb::Match{vendor, product};
}

}  // namespace

int main(int argc, char** argv) {
    if (const std::string closed = tool_output::closedStandardStream(); !closed.empty()) {
        std::cerr << "drx: " << closed << " is closed" << std::endl;
        return kExitFailed;
    }
    CLI::App app{"drx: the fingerprint sensor driver over the simulated sensor", "drx"};
    app.set_version_flag("--version", "drx " DRX_VERSION);
    app.footer(kest_tools::shippedProfilesHelp("sensor", "plug NAME") + "\n" + kExitCodes);
    bool json = false;
    std::string libraryDirectory = kest_tools::libraryDirectory();
    std::string profiles = kest_tools::profileDirectory("sensor");
    app.add_flag("--json", json, "one JSON object per line");
    app.add_option("--library-dir", libraryDirectory, "where libdermo.so is")
        ->capture_default_str();
    app.add_option("--profiles", profiles, "where plug finds PROFILE.toml")
        ->check(CLI::ExistingDirectory)
        ->capture_default_str();
    std::string usbDevice;
    CLI::Option* usb = app.add_option("--usb", usbDevice,
                                      "plug real devices through libusb (VID:PID in hex: only "
                                      "that one) instead of the simulated sensor")
                           ->expected(0, 1);
    app.require_subcommand(1);
    CLI::App* demo =
        app.add_subcommand("demo", "install, plug, open, identify, capture, close, unplug");
    std::string output = "fingerprint.png";
    demo->add_option("--output", output, "where the captured fingerprint goes")
        ->capture_default_str();
    CLI::App* shell = app.add_subcommand("shell", "read commands from standard input");
    shell->footer(drx_tool::commandHelp() + "\n" + kExitCodes);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "drx: " << tool_text::shown(e.what()) << " (see --help)" << std::endl;
        return kExitUsage;
    }

    std::optional<host::libusb::Match> match;
    if (usb->count() > 0) {
        match = parseUsbMatch(usbDevice);
        if (!match) {
            std::cerr << "drx: --usb: expected VID:PID in hexadecimal (see --help)" << std::endl;
            return kExitUsage;
        }
    }

    host::devices::setLibraryDirectory(libraryDirectory);
    const auto format = json ? drx_tool::Format::Json : drx_tool::Format::Text;
    const int code = demo->parsed() ? runDemo(format, profiles, match, output)
                                    : runShell(format, profiles, match);
    const std::string failure = drx_tool::outputFailure();
    if (failure.empty()) return code;
    std::cerr << "drx: standard output: " << failure << std::endl;
    return std::max(code, kExitFailed);
}
