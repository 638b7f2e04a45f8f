#include "services/dovecot.hpp"

#include "foundation/paths.hpp"

namespace norvik::services {

std::string PROTOCOLS_FILE() { return foundation::protocols_file(); }

}  // namespace norvik::services
