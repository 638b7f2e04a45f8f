// Local time stamps carrying the server's offset from UTC.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace norvik::foundation {

inline constexpr char DEFAULT_DELIMITER = ' ';

// "2026-12-08 23:01:02 +0000" for `time` (default now). The same
// (time, delimiter) pair returns the cached text.
std::string localtime2timestamp(std::optional<std::time_t> time = std::nullopt, char delimiter = DEFAULT_DELIMITER);

// "+0530", "-0330", "+0000": for `time`, or for now (cached) when omitted.
std::string get_server_offset_as_offset_string(std::optional<std::time_t> time = std::nullopt);

// Signed seconds east of UTC, cached for the process.
long get_server_offset_in_seconds();

// Seconds from an offset text ("-0530" -> -19800); 0 when it does not parse.
long offset_text_to_seconds(const std::string& text);

// Tests: forget every cache; replace the clock that gives "now" (seconds).
void clear_clock_caches();
void set_clock_for_testing(std::function<std::time_t()> clock);
// Tests: how many times the offset/stamp were computed rather than cached.
int computations_for_testing();

}  // namespace norvik::foundation
