#include "services/Dovecot_Constants.hpp"

#include "foundation/Paths.hpp"

namespace norvik::dovecot::constants {

std::string PROTOCOLS_FILE() { return paths::protocols_file(); }

}  // namespace norvik::dovecot::constants
