#include "servmon/config.hpp"

#include "foundation/paths.hpp"

namespace norvik::servmon {

std::string servmon_dir() { return foundation::servmon_d_dir(); }

}  // namespace norvik::servmon
