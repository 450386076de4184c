// The shell's commands over one simulated sensor and the driver: install, uninstall, plug,
// unplug, open, close, the commands on an open handle (control_commands.h), timeouts, property,
// fault and quit. Each prints one result line.
#pragma once

#include <host/libusb_host.h>
#include <host/usb.h>
#include <windows.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control_commands.h"
#include "outcome.h"

namespace sim {
class Sensor;
}

namespace drx_tool {

// The commands, one a line, as help text.
std::string commandHelp();

class Session {
  public:
    // With `usb`, plug takes the real devices libusb finds that match instead of the simulated
    // sensor.
    Session(Format format, std::string profileDirectory,
            std::optional<host::libusb::Match> usb = std::nullopt);
    // Closes what is still open and unplugs the sensor.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs one command line; false once the session should end (quit). A line that cannot be
    // carried out as written is also reported on standard error with its number.
    bool run(const std::string& line);
    // For the lines run so far: 0 every command succeeded, 1 one failed, 2 one could not be
    // carried out as written (an unknown command, bad arguments).
    int exitCode() const { return exitCode_; }

  private:
    Outcome install(const Arguments& arguments);
    Outcome uninstall(const Arguments& arguments);
    Outcome plug(const Arguments& arguments);
    Outcome plugUsb();
    Outcome unplug(const Arguments& arguments);
    Outcome open(const Arguments& arguments);
    Outcome close(const Arguments& arguments);
    Outcome help(const Arguments& arguments);
    Outcome quit(const Arguments& arguments);
    // Commands whose first argument is a handle number.
    Outcome onHandle(const Arguments& arguments,
                     Outcome (*command)(HANDLE handle, const Arguments& rest));
    Outcome timeouts(const Arguments& arguments);
    Outcome property(const Arguments& arguments);
    Outcome fault(const Arguments& arguments);

    void closeAll();
    void finishUnplug();

    const Format format_;
    const std::string profileDirectory_;
    const std::optional<host::libusb::Match> usb_;
    std::unique_ptr<host::libusb::Host> libusb_;  // while a real device is plugged
    std::shared_ptr<sim::Sensor> sensor_;
    host::usb::DeviceId device_ = 0;
    bool unplugging_ = false;
    std::map<int, HANDLE> handles_;  // the shell's handle numbers
    int nextHandle_ = 1;
    std::size_t lineNumber_ = 0;
    int exitCode_ = 0;
};

}  // namespace drx_tool
