#include "foundation/any_all_matcher.hpp"

#include "exception/exception.hpp"

namespace norvik::foundation {

void check_match_mode(const std::string& mode) {
    if (mode == MATCH_ALL || mode == MATCH_ANY) return;
    exception::raise("InvalidParameter", "The match mode “[_1]” is not valid; use “[_2]” or “[_3]”.",
                     {mode, MATCH_ALL, MATCH_ANY});
}

bool match_any_all(const MatchRule& rule, const std::function<bool(const std::string&)>& predicate) {
    check_match_mode(rule.match);
    const bool want_all = rule.match == MATCH_ALL;
    for (const auto& item : rule.items) {
        const bool ok = predicate(item);
        if (want_all && !ok) return false;
        if (!want_all && ok) return true;
    }
    return want_all;
}

}  // namespace norvik::foundation
