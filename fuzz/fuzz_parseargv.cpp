// Argument parsing: any argv must give a result or a PlainError.
#include "FuzzCommon.hpp"
#include "exception/exception.hpp"
#include "cli/arguments.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args = fuzzsupport::words(in);
    try {
        (void)norvik::cli::parseargv(args);
    } catch (const norvik::Exception&) {
    } catch (const norvik::PlainError&) {}
    return 0;
}
