// The spam-filter daemon's own enabled test.
#pragma once

#include <optional>

namespace norvik::services::enabled::spamd {

inline constexpr const char* SKIP_KEY = "skipspamd";

// 0 when the main configuration's "skipspamd" is true or a disable file of
// the daemon exists; 1 otherwise.
std::optional<int> is_enabled();

}  // namespace norvik::services::enabled::spamd
