// Host control API: the host configuration.
//
// A program on this platform finds the handheld's scene in one TOML file named by the
// environment variable KEST_HOST, read when the platform is loaded (before main):
//
//   root = "ce-root"                  # the host directory of the handheld's files
//   registry = ["devices.reg"]        # .reg files merged over the built-in registry, in order
//   drivers = "/opt/kest/lib"         # where ActivateDevice finds driver libraries
//   [serial]                          # COM ports served by host ttys
//   COM1 = "/dev/ttyUSB0"
//   [models]                          # device models started in the process
//   library = "/opt/kest/lib/libkest_models.so"
//   ...                               # the other keys are the model library's own
//
// Relative paths are taken from the file's folder. A file that cannot be read, or holds a key or
// value not listed here, ends the program before main with the reason on standard error and exit
// code 1. Without KEST_HOST nothing is set up: the program uses the other calls of the host
// control API itself.
//
// The model library is a shared library built over the platform, loaded as drivers are. It
// exports two C functions:
//   int KestModels_Start(const char* configPath, char* error, size_t errorSize)
//       reads its keys of [models] in the file at configPath and starts its models; nonzero on
//       failure, with a one-line reason in error;
//   void KestModels_Stop(void)
//       stops them; called at exit.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace host::config {

struct SerialMapping {
    unsigned comNumber = 0;
    std::string path;
};

struct HostConfig {
    std::string root;                        // empty: the platform's default
    std::vector<std::string> registryFiles;  // merged in order
    std::string driverDirectory;             // empty: the platform's default
    std::vector<SerialMapping> serial;
    std::string modelLibrary;  // empty: no models
    std::string source;        // the file it was read from; handed to the model library
};

// A configuration that cannot be read or put in place; what() is the one-line reason.
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Parses "COM5" or "COM5:" (any case) into 5; 0 when it is not a COM name of 1 to 9999.
unsigned parseComName(std::string_view name);

// Reads a configuration; relative paths are resolved from the folder of `path`. Throws
// ConfigError.
HostConfig load(const std::string& path);
HostConfig parse(std::string_view text, const std::string& source);

// Puts a configuration in place: makes the root and sets it, merges the registry files, sets the
// driver directory, maps the ttys, then loads the model library and starts its models. A tty
// path that does not exist yet is mapped all the same (its port appears once the path does); the
// notices returned say so, one line each. Throws ConfigError with no tty of it left mapped and
// no model started.
std::vector<std::string> apply(const HostConfig& config);

}  // namespace host::config
