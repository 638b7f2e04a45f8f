#include "output/terminal.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <regex>

#include "run/saferun.hpp"

namespace norvik::output {
namespace {

std::string& infocmp_bin() {
    // Test seam: the terminal-database program.
    static std::string path = "/usr/bin/infocmp";
    return path;
}
std::optional<bool>& safe_cache() {
    // Cache for the run: whether stdin and stdout are terminals.
    static std::optional<bool> v;
    return v;
}
std::optional<bool>& safe_forced() {
    // Test seam: forces the safe-to-colour answer.
    static std::optional<bool> v;
    return v;
}
std::map<std::string, std::optional<int>>& colors_cache() {
    // Cache for the run: colour count per terminal type.
    static std::map<std::string, std::optional<int>> m;
    return m;
}

std::optional<std::map<std::string, std::optional<std::string>>>& captured() {
    // The environment captured for the terminal queries.
    static std::optional<std::map<std::string, std::optional<std::string>>> m;
    return m;
}

}  // namespace

void capture_environment() {
    std::map<std::string, std::optional<std::string>> m;
    for (const char* name : {"TERM", "NO_COLOR", "HOME"}) {
        const char* v = std::getenv(name);
        m[name] = v ? std::optional<std::string>(v) : std::nullopt;
    }
    captured() = std::move(m);
}

std::optional<std::string> env_value(const std::string& name) {
    if (captured()) {
        auto it = captured()->find(name);
        if (it != captured()->end()) return it->second;
    }
    const char* v = std::getenv(name.c_str());
    return v ? std::optional<std::string>(v) : std::nullopt;
}

void forget_captured_environment() { captured().reset(); }

const std::string& INFOCMP_BIN() { return infocmp_bin(); }
void set_INFOCMP_BIN(const std::string& path) {
    infocmp_bin() = path;
    colors_cache().clear();
}

bool it_is_safe_to_colorize() {
    if (safe_forced()) return *safe_forced();
    if (!safe_cache()) safe_cache() = ::isatty(0) && ::isatty(1);
    return *safe_cache();
}

std::optional<int> get_max_colors_for_terminal(const std::string& term) {
    if (term.empty()) return std::nullopt;
    auto found = colors_cache().find(term);
    if (found != colors_cache().end()) return found->second;

    std::optional<int> colors;
    // The name comes from the environment: keep it from being read as an option.
    bool plain_name = term[0] != '-' && term.find('/') == std::string::npos;
    if (plain_name && ::access(infocmp_bin().c_str(), X_OK) == 0) {
        try {
            run::Options o;
            o.program = infocmp_bin();
            o.args = {"-1", "-L", term};
            o.timeout = 5;
            run::Object run(std::move(o));
            colors = parse_max_colors(run.stdout());
        } catch (const std::exception&) {
            // An unusable tool leaves the name to decide.
        }
    }
    if (!colors) {
        static const std::regex n_color(R"(([0-9]+)color)");
        std::smatch m;
        if (std::regex_search(term, m, n_color)) {
            try {
                colors = std::stoi(m[1].str());
            } catch (const std::exception&) {}
        }
    }
    colors_cache()[term] = colors;
    return colors;
}

std::optional<int> parse_max_colors(const std::string& text) {
    static const std::string tag = "max_colors#";
    const std::size_t at = text.find(tag);
    if (at == std::string::npos) return std::nullopt;
    // The tool writes numbers as C does: 0x100, 0400 or 256.
    const char* start = text.c_str() + at + tag.size();
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(start, &end, 0);
    if (end == start || errno != 0 || n <= 0 || n > 1 << 24) return std::nullopt;
    if (*end != ',' && *end != '\0' && *end != '\n' && *end != ' ' && *end != '\t') return std::nullopt;
    return static_cast<int>(n);
}

void set_safe_to_colorize_for_testing(std::optional<bool> value) { safe_forced() = value; }

void _clear_cache() {
    safe_cache().reset();
    colors_cache().clear();
}

}  // namespace norvik::output
