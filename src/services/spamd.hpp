// The spam-filter daemon's own enabled test.
#pragma once

#include <optional>

namespace norvik::services {

inline constexpr const char* SKIP_KEY = "skipspamd";

// False when the main configuration's "skipspamd" is true or a disable file of
// the daemon exists; true otherwise.
std::optional<bool> is_spamd_enabled();

}  // namespace norvik::services
