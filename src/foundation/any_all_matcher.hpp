// Applies a predicate to a list of names and combines the answers as "all"
// (every name must pass) or "any" (one is enough).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace norvik::foundation {

inline constexpr const char* MATCH_ALL = "all";
inline constexpr const char* MATCH_ANY = "any";

struct MatchRule {
    std::vector<std::string> items;
    std::string match = MATCH_ALL;
};

// An empty list matches in "all" mode and not in "any" mode. An unknown mode
// raises norvik::Exception "InvalidParameter" listing the two accepted words.
bool match_any_all(const MatchRule& rule, const std::function<bool(const std::string&)>& predicate);

// Raises for a mode other than MATCH_ALL / MATCH_ANY.
void check_match_mode(const std::string& mode);

}  // namespace norvik::foundation
