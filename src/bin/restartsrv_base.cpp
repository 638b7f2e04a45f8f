// The entry program: it routes the foundation's warnings to the logger, then
// hands the command line to the driver.
#include "cli/driver.hpp"
#include "log/debug.hpp"

int main(int argc, char** argv) {
    // Before anything else: a signal in the first milliseconds must end the
    // run the way it ends it later.
    norvik::cli::install_signal_handlers();
    norvik::log::route_foundation_diagnostics();
    return norvik::cli::run(argc, argv);
}
