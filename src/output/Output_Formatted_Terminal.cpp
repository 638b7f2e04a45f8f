#include "output/Output_Formatted_Terminal.hpp"

#include <unistd.h>

#include <optional>

#include "foundation/Paths.hpp"
#include "output/Term_ANSIColor_Solarize.hpp"
#include "output/Terminal.hpp"

namespace norvik::output::formatted {
namespace {
std::optional<bool>& disabled_cache() {
    static std::optional<bool> v;
    return v;
}
}  // namespace

void Terminal::_clear_cache() { disabled_cache().reset(); }

bool Terminal::color_disabled() {
    if (!disabled_cache()) {
        bool off = false;
        auto no_color = norvik::terminal::env_value("NO_COLOR");
        if (no_color && !no_color->empty()) off = true;
        if (!off && ::access(norvik::paths::no_color_flag().c_str(), F_OK) == 0) off = true;
        auto home = norvik::terminal::env_value("HOME");
        if (!off && home && !home->empty() &&
            ::access(norvik::paths::user_no_color_flag(*home).c_str(), F_OK) == 0)
            off = true;
        disabled_cache() = off;
    }
    return *disabled_cache();
}

std::string Terminal::_format_text(const std::string& color, const std::string& text) {
    if (color.empty() || text.empty()) return text;
    if (color_disabled()) return text;
    // Colour only what goes to the terminal itself, never a file or pipe.
    if (!::isatty(::fileno(filehandle_))) return text;
    return norvik::term::ansicolor::solarize::colored(std::vector<std::string>{color}, {text});
}

}  // namespace norvik::output::formatted
