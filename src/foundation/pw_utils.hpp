// Small user helpers on top of the password cache.
#pragma once

#include <sys/types.h>

#include <string>

namespace norvik::foundation {

// Digits are a uid; anything else is looked up as a name. An empty or
// unknown user raises Exception "PwUtils::UnknownUser" (param "user").
uid_t normalize_to_uid(const std::string& user);

}  // namespace norvik::foundation
