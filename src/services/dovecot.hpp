#pragma once

#include <string>

namespace norvik::services {

// A small file which, when present, holds the enabled protocols ("imap pop3").
std::string PROTOCOLS_FILE();

}  // namespace norvik::services
