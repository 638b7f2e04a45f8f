// The entry program; the driver lives in norvik::restartsrv.
#include "restartsrv/RestartSrv.hpp"

int main(int argc, char** argv) { return norvik::restartsrv::run(argc, argv); }
