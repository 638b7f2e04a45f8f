#include "services/dovecot.hpp"

#include "foundation/paths.hpp"

namespace norvik::dovecot::constants {

std::string PROTOCOLS_FILE() { return paths::protocols_file(); }

}  // namespace norvik::dovecot::constants
