#include "servmon/Servmon_Config.hpp"

#include "foundation/Paths.hpp"

namespace norvik::servmon::config {

std::string servmon_dir() { return paths::servmon_d_dir(); }

}  // namespace norvik::servmon::config
