// The program's top: main hands it the command line, it reads that once
// into a request, builds the service object for it and reports the outcome.
//
//   main -> run(argc, argv) -> service::create(service, request)
//        -> Base::run() -> the back end (systemd or init script)
#pragma once

#include <optional>
#include <string>

#include "cli/arguments.hpp"

namespace norvik::cli {

// Action ("start", "stop" or "restartsrv_") and service from the program
// path's last component; nothing when the name has neither form.
struct ProgramName {
    std::string action;
    std::string service;
};
std::optional<ProgramName> parse_program_name(const std::string& path);

// TERM (exit 143) and INT (ended by INT) end the run and what it waits on;
// HUP and PIPE never do. main calls it first; run() again (harmless).
void install_signal_handlers();

// The program entry: writes the invocation line, runs the driver under error
// capture and returns the exit status: 0, 255 (any error, its message on
// standard error), the usage printer's; TERM ends the process with 143 at
// any time.
int run(int argc, char** argv);

}  // namespace norvik::cli
