// ANSI colours through a Solarized-style palette: colour names map to the
// nearest palette entry for the terminal's 256, 16 or 8 colours, and
// nothing is coloured when the terminal is unknown or colouring is unsafe.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace norvik::output {

inline constexpr const char* ANSI_RESET = "\033[0m";

// List form: texts joined and wrapped in the escape for `attrs` (attribute
// names separated by whitespace) and ANSI_RESET; the plain texts when there
// are no colours or colouring is not safe.
std::string colored(const std::vector<std::string>& attrs, const std::vector<std::string>& texts);
// Text form: the text coloured with the attributes (each mapped through the palette).
std::string colored(const std::string& text, const std::vector<std::string>& attributes);

// The palette in force (empty for no colours) and the number of colours.
const std::map<std::string, std::string>& palette();
int number_of_colors();

// The three palettes: attribute name -> name in the terminal's colours.
const std::map<std::string, std::string>& palette_256();
const std::map<std::string, std::string>& palette_16();
const std::map<std::string, std::string>& palette_8();

// The SGR escape for a palette-mapped attribute list ("" when an attribute
// is unknown to the converter).
std::string escape_for(const std::string& mapped_spec);

// Forgets palette, number of colours, escapes and the safe-to-colour flag.
void clear_caches();

}  // namespace norvik::output
