// The entry program: it wires the lower floors to the ones above them, then
// hands over to the driver in norvik::restartsrv.
#include "log/debug.hpp"
#include "cli/driver.hpp"
#include "service/entry.hpp"

int main(int argc, char** argv) {
    // Before anything else: a signal in the first milliseconds must end the
    // run the way it ends it later.
    norvik::restartsrv::install_signal_handlers();
    norvik::debug::route_foundation_diagnostics();
    norvik::restartsrv::set_service_factory(norvik::servicemanager::make_entry_service_object);
    return norvik::restartsrv::run(argc, argv);
}
