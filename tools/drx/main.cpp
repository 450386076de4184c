// drx: the sensor driver on this host, with the simulated sensor.
//
//   drx [--json] [--library-dir DIR] [--profiles DIR] demo [--output FILE.png]
//   drx [--json] [--library-dir DIR] [--profiles DIR] shell
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
#include <string>

#include "install_paths.h"
#include "session.h"
#include "checked_output.h"
#include "shown_text.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kExitCodes[] = R"(Exit codes:
  0  every command, or every step of the demo, gave 0
  1  a command or a step gave an error (the demo stops at it)
  2  bad options, an unknown command or bad arguments (the shell skips the line and goes on))";

constexpr char kCommands[] =
    R"(Commands (one a line; # starts a comment; numbers decimal or 0x-hexadecimal):
  install | uninstall       USBInstallDriver / USBUnInstallDriver of the driver
  plug [PROFILE]            write the profile's registry values and plug the sensor
  unplug                    unplug it; with handles open the driver keeps it until the last close
  open [DEVICE]             open the sensor's device (DRX1: by default); numbers the handle H
  close H                   close handle H
  read H N                  ReadFile of N bytes
  write H HEX               WriteFile of the bytes
  ioctl H NAME ARGS...      a control code by its name in dermo.h, or a number
  timeouts H R W C          IOCTL_SENSOR_SET_TIMEOUTS (milliseconds; 0 keeps one)
  property H get ID         IOCTL_SENSOR_EXT_GET_PROPERTY
  property H set ID V       IOCTL_SENSOR_EXT_SET_PROPERTY
  capture H FILE.png        capture an image and write it as a grey-scale PNG
  fault NAME [ARG]          set a fault of the plugged sensor
  quit                      close what is open, unplug and end

)";

// The demo stops at the first step that does not give 0; the session then closes and unplugs.
int runDemo(drx_tool::Format format, const std::string& profiles, const std::string& output) {
    drx_tool::Session session(format, profiles);
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

int runShell(drx_tool::Format format, const std::string& profiles) {
    const bool interactive = isatty(STDIN_FILENO) == 1;
    drx_tool::Session session(format, profiles);
    for (std::string line;;) {
        if (interactive) std::cout << "drx> " << std::flush;
        if (!std::getline(std::cin, line) || !session.run(line)) break;
    }
    return session.exitCode();
}

}  // namespace

int main(int argc, char** argv) {
    if (const std::string closed = tool_output::closedStandardStream(); !closed.empty()) {
        std::cerr << "drx: " << closed << " is closed" << std::endl;
        return kExitFailed;
    }
    CLI::App app{"drx: the fingerprint sensor driver over the simulated sensor", "drx"};
    app.set_version_flag("--version", "drx " DRX_VERSION);
    app.footer(kExitCodes);
    bool json = false;
    std::string libraryDirectory = kest_tools::libraryDirectory();
    std::string profiles = kest_tools::profileDirectory("sensor");
    app.add_flag("--json", json, "one JSON object per line");
    app.add_option("--library-dir", libraryDirectory, "where libdermo.so is")
        ->capture_default_str();
    app.add_option("--profiles", profiles, "where plug finds PROFILE.toml")
        ->check(CLI::ExistingDirectory)
        ->capture_default_str();
    app.require_subcommand(1);
    CLI::App* demo =
        app.add_subcommand("demo", "install, plug, open, identify, capture, close, unplug");
    std::string output = "fingerprint.png";
    demo->add_option("--output", output, "where the captured fingerprint goes")
        ->capture_default_str();
    CLI::App* shell = app.add_subcommand("shell", "read commands from standard input");
    shell->footer(std::string(kCommands) + kExitCodes);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "drx: " << tool_text::shown(e.what()) << " (see --help)" << std::endl;
        return kExitUsage;
    }

    host::devices::setLibraryDirectory(libraryDirectory);
    const auto format = json ? drx_tool::Format::Json : drx_tool::Format::Text;
    const int code = demo->parsed() ? runDemo(format, profiles, output) : runShell(format, profiles);
    const std::string failure = drx_tool::outputFailure();
    if (failure.empty()) return code;
    std::cerr << "drx: standard output: " << failure << std::endl;
    return std::max(code, kExitFailed);
}
