// kest: drives the KEST library from the command line, against the simulated peripheral or a
// serial port of the host.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "checked_output.h"
#include "commands.h"
#include "console.h"
#include "demo.h"
#include "host_commands.h"
#include "host_setup.h"
#include "install_paths.h"
#include "library_handlers.h"
#include "line_reader.h"
#include "number.h"
#include "pty_serve.h"
#include "shell.h"
#include "shown_text.h"
#include "wire_trace.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kExitCodes[] = R"(Exit codes:
  0  every command did what a script expects: open, enable, download, version, downloadinfo,
     the settings and wait-state give 0; close and disable give 0 or 1 (they do not wait, so
     1 is their normal result); state gives a state (not 0)
  1  a command, or a step of the demo, gave anything else
  2  bad options, an unknown command or bad arguments (the line is skipped, the shell goes on))";

// CLI11's own message for a word that is not a number says only that it is out of range, and
// it would read 010 as octal: the value goes on in decimal, read as the shell reads numbers.
const CLI::Validator kNumber(
    [](std::string& text) {
        const std::optional<std::int64_t> value = tool_text::parseNumber(text);
        if (!value) return "'" + tool_text::excerpt(text) + "' is not a number";
        text = std::to_string(*value);
        return std::string();
    },
    "", "number");

constexpr char kOutput[] = R"(Output, one line each (with --json one JSON object per line):
  status: TEXT                     a status text of the library ({"event":"status","text":...})
  state: N NAME                    a call of the state-change handler ({"event":"state",...})
  result: COMMAND CODE [key=value ...]   the end of a command ({"event":"result",...})

Commands (one a line; # starts a comment):
)";

// Ends the trace and gives the exit code: a run whose output or trace could not be written
// failed, whatever its commands did.
int finish(int code, const std::shared_ptr<kest_tool::WireTrace>& trace,
           const std::string& traceFile) {
    std::string traceFailure;
    if (trace) {
        kest_tool::WireTrace::detach();
        trace->finish();
        traceFailure = trace->failure();
    }
    const std::string outputFailure = kest_tool::Console::instance().outputFailure();
    if (!outputFailure.empty())
        std::cerr << "kest: standard output: " << outputFailure << std::endl;
    if (!traceFailure.empty())
        std::cerr << "kest: --trace " << tool_text::excerpt(traceFile) << ": " << traceFailure
                  << std::endl;
    return outputFailure.empty() && traceFailure.empty() ? code : std::max(code, kExitFailed);
}

}  // namespace

int main(int argc, char** argv) {
    if (const std::string closed = tool_output::closedStandardStream(); !closed.empty()) {
        std::cerr << "kest: " << closed << " is closed" << std::endl;
        return kExitFailed;
    }
    kest_tool::HostOptions host;
    bool json = false;
    bool quiet = false;
    bool noPeripheral = false;
    std::string profileFile;
    std::string dataPort = "auto";
    int dataPortDelayMs = static_cast<int>(host.peripheral.port.dataPortDelay.count());

    CLI::App app{"Drives the KEST library: opens the snap-on peripheral and runs its exports.",
                 "kest"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "kest " KEST_VERSION);
    app.footer(kest_tools::shippedProfilesHelp("peripheral", "--peripheral NAME") + "\n" +
               kExitCodes);
    app.add_option("--root", host.root, "Host directory that stands for the handheld's files")
        ->capture_default_str();
    app.add_option("--registry", host.registryFile, ".reg file merged over the built-in registry")
        ->check(CLI::ExistingFile);
    app.add_flag("--no-peripheral", noPeripheral,
                 "Do not start the simulated peripheral; COM1: is then only what --serial maps");
    app.add_option("--serial", host.serialMaps, "Map a COM port onto a host tty: COMn:=PATH")
        ->type_name("COMn:=PATH");
    app.add_option("--peripheral", profileFile,
                   "TOML profile of the simulated peripheral (identity, file, port, faults), or "
                   "the name of a shipped one");
    CLI::Option* dataPortOption =
        app.add_option(
               "--data-port", dataPort,
               "The simulated peripheral's data port: auto (above the ports present), never, "
               "or a COM number (overrides the profile's)")
            ->capture_default_str();
    CLI::Option* delayOption =
        app.add_option(
               "--data-port-delay", dataPortDelayMs,
               "Milliseconds from power-on until the data port appears (overrides the profile's)")
            ->check(kNumber)
            ->check(CLI::Range(0, 600000))
            ->capture_default_str();
    app.add_flag("--json", json, "One JSON object per line");
    app.add_flag("--quiet", quiet, "No status lines");
    std::string traceFile;
    app.add_option("--trace", traceFile,
                   "Write the frames on COM1: and the data port, decoded, to FILE (- for "
                   "standard error)")
        ->type_name("FILE");

    app.add_subcommand("demo",
                       "Open with version and download, show the file, enable, disable, close");
    CLI::App* shell = app.add_subcommand(
        "shell", "Run commands from standard input, one per line (a prompt on a terminal)");
    shell->footer(std::string(kOutput) + kest_tool::commandHelp() +
                  "\nFaults of the simulated peripheral (peripheral fault NAME [N]; each strikes "
                  "once unless repeat is armed):\n" +
                  kest_tool::faultHelp() + "\n" + kExitCodes);

    CLI::App* peripheralCommand =
        app.add_subcommand("peripheral", "The simulated peripheral for other processes");
    peripheralCommand->require_subcommand(1);
    CLI::App* serve = peripheralCommand->add_subcommand(
        "serve",
        "Serve the simulated peripheral on pseudo-terminals until interrupted; prints the "
        "paths of its power line and of its data line (present while the power line is open "
        "and the data port is up), for another process to map as COM ports");
    bool onPtys = false;
    std::string serveFolder;
    serve->add_flag("--pty", onPtys, "On pseudo-terminals (the only way there is)")->required();
    serve->add_option("--dir", serveFolder,
                      "Folder of the links power and data (default: a new one under /tmp)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        const std::vector<std::string> unknown = app.remaining();
        if (app.get_subcommands().empty() && !unknown.empty() && !unknown.front().starts_with("-"))
            std::cerr << "kest: '" << tool_text::excerpt(unknown.front())
                      << "' is not a command (demo, shell or peripheral serve)" << std::endl;
        else
            std::cerr << "kest: " << tool_text::shown(e.what()) << " (see --help)" << std::endl;
        return kExitUsage;
    }
    host.withPeripheral = !noPeripheral;
    if (serve->parsed() && noPeripheral) {
        std::cerr << "kest: peripheral serve: serves the simulated peripheral; drop --no-peripheral"
                  << std::endl;
        return kExitUsage;
    }

    // The trace is attached before the host comes up, so that it sees the first power-on.
    std::ofstream traceStream;
    std::shared_ptr<kest_tool::WireTrace> trace;
    if (!traceFile.empty()) {
        if (traceFile != "-") traceStream.open(traceFile);
        if (traceFile != "-" && !traceStream) {
            std::cerr << "kest: --trace: cannot write " << traceFile << std::endl;
            return kExitUsage;
        }
        trace = std::make_shared<kest_tool::WireTrace>(traceFile == "-" ? std::cerr : traceStream);
        kest_tool::WireTrace::attach(trace);
    }

    std::unique_ptr<kest_tool::HostSetup> setup;
    try {
        if (!profileFile.empty()) {
            sim::PeripheralProfileResult loaded = sim::loadPeripheralProfile(
                sim::profilePath(profileFile, kest_tools::profileDirectory("peripheral")));
            if (!loaded.profile) throw kest_tool::SetupError("--peripheral: " + loaded.error);
            host.peripheral = std::move(*loaded.profile);
        }
        if (dataPortOption->count() > 0) try {
                host.peripheral.port.dataPort = sim::parseDataPort(dataPort);
            } catch (const sim::ModelsError& e) {
                throw kest_tool::SetupError(std::string("--data-port ") + e.what());
            }
        if (delayOption->count() > 0)
            host.peripheral.port.dataPortDelay = std::chrono::milliseconds(dataPortDelayMs);
        setup = std::make_unique<kest_tool::HostSetup>(host);
    } catch (const kest_tool::SetupError& e) {
        std::cerr << "kest: " << tool_text::shown(e.what()) << std::endl;
        return kExitUsage;
    }

    if (serve->parsed()) {
        char made[] = "/tmp/kest-peripheral-XXXXXX";
        if (serveFolder.empty() && ::mkdtemp(made) == nullptr) {
            std::cerr << "kest: peripheral serve: cannot make a folder under /tmp" << std::endl;
            return kExitFailed;
        }
        const int code = kest_tool::servePeripheralOnPtys(
            *setup->peripheral(), serveFolder.empty() ? made : serveFolder, std::cout);
        if (serveFolder.empty()) ::rmdir(made);
        return finish(code, trace, traceFile);
    }

    const bool terminal = tool_text::cursorTerminal(STDOUT_FILENO) && !json;
    kest_tool::Console::instance().configure(
        json ? kest_tool::Format::Json : kest_tool::Format::Text, quiet, terminal);
    if (!kest_tool::connectLibraryHandlers()) {
        std::cerr << "kest: the KEST library did not initialise" << std::endl;
        return kExitFailed;
    }
    kest_tool::CommandContext context{setup->peripheral(), host.root};
    const int code = shell->parsed()
                         ? kest_tool::runShell(std::cin, isatty(STDIN_FILENO) == 1, context)
                         : kest_tool::runDemo(context, terminal);
    kest_tool::disconnectLibraryHandlers();
    return finish(code, trace, traceFile);
}
