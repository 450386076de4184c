// drx: the sensor driver on this host, with the simulated sensor.
//
//   drx [--json] [--library-dir DIR] [--profiles DIR] demo [--output FILE.png]
//   drx [--json] [--library-dir DIR] [--profiles DIR] shell
//
// demo installs the driver, plugs the simulated sensor, opens its DRX device, shows its
// identifiers and packet sizes, captures a fingerprint into a PNG file (fingerprint.png), closes
// the device and unplugs. shell reads commands from standard input, one a line:
//   install | uninstall | plug [PROFILE] | unplug | open [DEVICE] | close H
//   read H N | write H HEX | ioctl H NAME ARGS... | timeouts H R W C
//   property H get|set ID [V] | capture H FILE.png | fault NAME [ARG] | quit
// and prints one line per command:
//   result: COMMAND CODE [key=value ...]   CODE is 0, or the last error (also as error=NAME)
// With --json each line is a JSON object: {"event":"result","command":...,"code":...,...}.
#include <host/devices.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "install_paths.h"
#include "session.h"

namespace {

int runDemo(drx_tool::Format format, const std::string& profiles, const std::string& output) {
    drx_tool::Session session(format, profiles);
    for (const std::string& line :
         {std::string("install"), std::string("plug"), std::string("open"),
          std::string("ioctl 1 IOCTL_SENSOR_GET_DEVICE_IDS"),
          std::string("ioctl 1 IOCTL_SENSOR_GET_MAX_PACKET_SIZES"), "capture 1 " + output,
          std::string("close 1"), std::string("unplug")})
        session.run(line);
    return 0;
}

int runShell(drx_tool::Format format, const std::string& profiles) {
    drx_tool::Session session(format, profiles);
    for (std::string line; std::getline(std::cin, line);)
        if (!session.run(line)) break;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"drx: the fingerprint sensor driver over the simulated sensor"};
    bool json = false;
    std::string libraryDirectory = kest_tools::libraryDirectory();
    std::string profiles = kest_tools::profileDirectory("sensor");
    app.add_flag("--json", json, "one JSON object per line");
    app.add_option("--library-dir", libraryDirectory, "where libdermo.so is")
        ->capture_default_str();
    app.add_option("--profiles", profiles, "where plug finds PROFILE.toml")->capture_default_str();
    app.require_subcommand(1);
    CLI::App* demo =
        app.add_subcommand("demo", "install, plug, open, identify, capture, close, unplug");
    std::string output = "fingerprint.png";
    demo->add_option("--output", output, "where the captured fingerprint goes")
        ->capture_default_str();
    CLI::App* shell = app.add_subcommand("shell", "read commands from standard input");
    CLI11_PARSE(app, argc, argv);

    host::devices::setLibraryDirectory(libraryDirectory);
    const auto format = json ? drx_tool::Format::Json : drx_tool::Format::Text;
    if (demo->parsed()) return runDemo(format, profiles, output);
    if (shell->parsed()) return runShell(format, profiles);
    return 0;
}
