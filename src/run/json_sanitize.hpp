// (Namespace json_sanitize: a namespace "json" inside norvik would clash with
// the usual "json" alias of nlohmann::json.)
// Turns any JSON value into plain data that every encoder accepts: texts
// that are not valid UTF-8 get U+FFFD in place of the bad bytes, binary
// values become their plain {"bytes": [...], "subtype": ...} form.
#pragma once

#include <nlohmann/json.hpp>

namespace norvik::run {

nlohmann::json filter_to_json(const nlohmann::json& value);
// True when the value holds nothing filter_to_json would change.
bool is_plain(const nlohmann::json& value);

}  // namespace norvik::run
