// Facts about the terminal that decide whether and how to colour.
#pragma once

#include <optional>
#include <string>

namespace norvik::output {

// 1 when both standard input and standard output are terminals (decided
// once per process), else 0.
bool it_is_safe_to_colorize();

// Number of colours the terminal type supports: asks the capability tool
// (infocmp) for max_colors, else takes N from a name like "xterm-256color";
// nothing for an empty or unknown name. Cached per name.
std::optional<int> get_max_colors_for_terminal(const std::string& term);
// The first max_colors#N of the tool's output, N in decimal, hexadecimal
// (0x100) or octal (0400); nothing when absent, not a number or not positive,
// so that the name still decides.
std::optional<int> parse_max_colors(const std::string& text);

// The capability tool; a PATH program, not re-rooted.
const std::string& INFOCMP_BIN();
void set_INFOCMP_BIN(const std::string& path);

// The environment values colour depends on (TERM, NO_COLOR, HOME) as they
// were before the daemon environment replaced them: capture_environment()
// records them; env_value() gives the recorded value, or the live one when
// nothing was recorded. nullopt = unset.
void capture_environment();
std::optional<std::string> env_value(const std::string& name);
void forget_captured_environment();

// Tests: force the safe-to-colour answer (nullopt = ask the terminal) and
// forget the caches.
void set_safe_to_colorize_for_testing(std::optional<bool> value);
void _clear_cache();

}  // namespace norvik::output
