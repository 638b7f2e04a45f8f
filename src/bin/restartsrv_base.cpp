// The entry program: it wires the lower floors to the ones above them, then
// hands over to the driver in norvik::restartsrv.
#include "log/Debug.hpp"
#include "restartsrv/RestartSrv.hpp"

int main(int argc, char** argv) {
    norvik::debug::route_foundation_diagnostics();
    return norvik::restartsrv::run(argc, argv);
}
