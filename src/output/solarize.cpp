#include "output/solarize.hpp"

#include <cstdlib>
#include <optional>
#include <sstream>

#include "output/terminal.hpp"

namespace norvik::output {
namespace {

struct State {
    bool initialised = false;
    std::optional<int> colors;
    std::optional<bool> safe;
    std::map<std::string, std::string> escapes;
};

State& state() {
    // Cache for the run: colour count and escapes of the terminal.
    static State s;
    return s;
}

void first_call() {
    if (state().initialised) return;
    clear_caches();
    state().initialised = true;
}

// SGR codes of the converter's attribute names.
std::optional<std::string> sgr_code(const std::string& name) {
    static const std::map<std::string, int> codes = {
        {"clear", 0},          {"reset", 0},         {"bold", 1},
        {"dark", 2},           {"faint", 2},         {"italic", 3},
        {"underline", 4},      {"underscore", 4},    {"blink", 5},
        {"reverse", 7},        {"concealed", 8},     {"black", 30},
        {"red", 31},           {"green", 32},        {"yellow", 33},
        {"blue", 34},          {"magenta", 35},      {"cyan", 36},
        {"white", 37},         {"on_black", 40},     {"on_red", 41},
        {"on_green", 42},      {"on_yellow", 43},    {"on_blue", 44},
        {"on_magenta", 45},    {"on_cyan", 46},      {"on_white", 47},
        {"bright_black", 90},  {"bright_red", 91},   {"bright_green", 92},
        {"bright_yellow", 93}, {"bright_blue", 94},  {"bright_magenta", 95},
        {"bright_cyan", 96},   {"bright_white", 97},
    };
    auto it = codes.find(name);
    if (it != codes.end()) return std::to_string(it->second);
    auto numbered = [&](const std::string& prefix, const char* sgr) -> std::optional<std::string> {
        if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size()) return std::nullopt;
        std::string digits = name.substr(prefix.size());
        for (char c : digits)
            if (c < '0' || c > '9') return std::nullopt;
        if (digits.size() > 3 || std::stoi(digits) > 255) return std::nullopt;
        return std::string(sgr) + digits;
    };
    if (auto fg = numbered("ansi", "38;5;")) return fg;
    if (auto bg = numbered("on_ansi", "48;5;")) return bg;
    return std::nullopt;
}

std::vector<std::string> split_ws(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

bool can_color() {
    first_call();
    if (!state().safe) state().safe = norvik::output::it_is_safe_to_colorize();
    return number_of_colors() > 0 && *state().safe;
}

std::string map_attributes(const std::vector<std::string>& attrs) {
    const auto& p = palette();
    std::string mapped;
    for (const auto& a : attrs) {
        auto it = p.find(a);
        if (!mapped.empty()) mapped += ' ';
        mapped += it != p.end() ? it->second : a;
    }
    return mapped;
}

std::string join(const std::vector<std::string>& texts) {
    std::string all;
    for (const auto& t : texts) all += t;
    return all;
}

}  // namespace

const std::map<std::string, std::string>& palette_256() {
    // The Solarized accents in the 256-colour cube.
    static const std::map<std::string, std::string> p = {
        {"yellow", "ansi136"}, {"orange", "ansi166"}, {"red", "ansi160"},    {"magenta", "ansi125"},
        {"violet", "ansi61"},  {"blue", "ansi33"},    {"cyan", "ansi37"},    {"green", "ansi64"},
        {"base03", "ansi234"}, {"base02", "ansi235"}, {"base01", "ansi240"}, {"base00", "ansi241"},
        {"base0", "ansi244"},  {"base1", "ansi245"},  {"base2", "ansi254"},  {"base3", "ansi230"},
    };
    return p;
}

const std::map<std::string, std::string>& palette_16() {
    // Solarized as the 16-colour terminal themes lay it out.
    static const std::map<std::string, std::string> p = {
        {"yellow", "yellow"},      {"orange", "bright_red"},     {"red", "red"},
        {"magenta", "magenta"},    {"violet", "bright_magenta"}, {"blue", "blue"},
        {"cyan", "cyan"},          {"green", "green"},           {"base03", "bright_black"},
        {"base02", "black"},       {"base01", "bright_green"},   {"base00", "bright_yellow"},
        {"base0", "bright_blue"},  {"base1", "bright_cyan"},     {"base2", "white"},
        {"base3", "bright_white"},
    };
    return p;
}

const std::map<std::string, std::string>& palette_8() {
    static const std::map<std::string, std::string> p = {
        {"yellow", "yellow"},
        {"orange", "red"},
        {"red", "red"},
        {"magenta", "magenta"},
        {"violet", "magenta"},
        {"blue", "blue"},
        {"cyan", "cyan"},
        {"green", "green"},
        {"base03", "black"},
        {"base02", "black"},
        {"base01", "white"},
        {"base00", "white"},
        {"base0", "white"},
        {"base1", "white"},
        {"base2", "white"},
        {"base3", "white"},
        {"bright_red", "red"},
        {"bright_green", "green"},
        {"bright_yellow", "yellow"},
        {"bright_blue", "blue"},
        {"bright_magenta", "magenta"},
        {"bright_cyan", "cyan"},
        {"bright_white", "white"},
        {"bright_black", "black"},
    };
    return p;
}

int number_of_colors() {
    first_call();
    if (!state().colors) {
        auto term = norvik::output::env_value("TERM");
        auto n = norvik::output::get_max_colors_for_terminal(term.value_or(""));
        state().colors = n.value_or(0);
    }
    return *state().colors;
}

const std::map<std::string, std::string>& palette() {
    static const std::map<std::string, std::string> none;
    int n = number_of_colors();
    if (n >= 256) return palette_256();
    if (n >= 16) return palette_16();
    if (n > 0) return palette_8();
    return none;
}

std::string escape_for(const std::string& mapped_spec) {
    auto& cache = state().escapes;
    auto it = cache.find(mapped_spec);
    if (it != cache.end()) return it->second;
    std::string codes;
    for (const auto& attr : split_ws(mapped_spec)) {
        auto code = sgr_code(attr);
        if (!code) {
            codes.clear();
            break;
        }
        if (!codes.empty()) codes += ';';
        codes += *code;
    }
    std::string esc = codes.empty() ? "" : "\033[" + codes + "m";
    cache[mapped_spec] = esc;
    return esc;
}

std::string colored(const std::vector<std::string>& wanted, const std::vector<std::string>& texts) {
    if (!can_color()) return join(texts);
    std::vector<std::string> attrs;
    for (const auto& s : wanted)
        for (auto& w : split_ws(s)) attrs.push_back(w);
    std::string esc = escape_for(map_attributes(attrs));
    if (esc.empty()) return join(texts);
    return esc + join(texts) + ANSI_RESET;
}

std::string colored(const std::string& text, const std::vector<std::string>& attributes) {
    if (!can_color()) return text;
    std::string esc = escape_for(map_attributes(attributes));
    if (esc.empty()) return text;
    return esc + text + ANSI_RESET;
}

void clear_caches() {
    state().colors.reset();
    state().safe.reset();
    state().escapes.clear();
}

}  // namespace norvik::output
