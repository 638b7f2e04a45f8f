#include "cli/words.hpp"

#include <algorithm>
#include <cctype>
#include <set>

#include "cli/arguments.hpp"
#include "foundation/text.hpp"

namespace norvik::cli {

namespace {

constexpr const char* HELP_NAME = "help";

using foundation::lower;

// The name of an option-like argument: without its dashes and any "=value",
// in lower case; nothing for words, "-" and "--".
std::optional<std::string> option_body(const std::string& arg) {
    if (arg.size() < 2 || arg[0] != '-' || arg == "--") return std::nullopt;
    std::string body = arg.substr(arg[1] == '-' ? 2 : 1);
    if (auto eq = body.find('='); eq != std::string::npos) body.resize(eq);
    if (body.empty()) return std::nullopt;
    return lower(body);
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// Arguments the program reads by a substring test, whatever their form.
bool is_marker_word(const std::string& arg) {
    return arg.find(CHECK_MODE_MARKER) != std::string::npos || arg.find(HTML_MARKER) != std::string::npos ||
           arg.find(STATUS_SUPPRESSION_MARKER) != std::string::npos || starts_with(arg, SYSTEMD_SERVICE_PREFIX);
}

// How far a mistyped name may be from the one meant: one slip in a short
// name, two in a long one.
size_t allowed_distance(const std::string& name) { return name.size() >= 8 ? 2 : 1; }

}  // namespace

bool is_help_request(const std::string& arg) {
    if (arg == HELP_NAME || arg == "-h") return true;
    if (arg.size() < 2 || arg[0] != '-') return false;
    std::string body = lower(arg.substr(arg[1] == '-' ? 2 : 1));
    return body.size() >= 2 && starts_with(HELP_NAME, body);
}

const std::vector<std::string>& known_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v = option_spellings();
        auto strip = [](const char* w) { return std::string(w).substr(w[0] == '-' && w[1] == '-' ? 2 : 0); };
        v.push_back(strip(HELP_WORD));
        for (const char* w : HARD_RESTART_WORDS) v.push_back(strip(w));
        for (const char* w : FORCE_WORDS) v.push_back(strip(w));
        for (const char* w : {INITD_SWITCH, ABSENT_IS_SUCCESS_WORD, STATUS_SUPPRESSION_MARKER, INTERACTIVE_WORD,
                              IGNORE_SYSTEMD_WORD, "--start"})
            v.push_back(strip(w));
        std::string sd = strip(SYSTEMD_SERVICE_PREFIX);
        if (!sd.empty() && sd.back() == '=') sd.pop_back();
        v.push_back(sd);
        std::sort(v.begin(), v.end());
        v.erase(std::unique(v.begin(), v.end()), v.end());
        return v;
    }();
    return names;
}

std::string custom_action_name(const std::string& arg) {
    std::string name = arg.rfind("--", 0) == 0 ? arg.substr(2) : arg;
    if (name.empty()) return "";
    for (char c : name)
        if (!std::isalpha(static_cast<unsigned char>(c))) return "";
    return name;
}

size_t edit_distance(const std::string& a, const std::string& b) {
    const size_t n = a.size(), m = b.size();
    std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
    for (size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (size_t i = 1; i <= n; ++i)
        for (size_t j = 1; j <= m; ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[n][m];
}

OptionReview review_options(const std::vector<std::string>& args,
                            const std::function<bool(const std::string&)>& is_custom_action) {
    OptionReview r;
    const auto& names = known_names();
    size_t longest = 0;
    for (const auto& n : names) longest = std::max(longest, n.size());
    for (const auto& arg : args) {
        if (arg == "--") break;  // the rest is not ours to judge
        auto body = option_body(arg);
        if (!body || is_marker_word(arg) || is_help_request(arg)) continue;
        if (std::binary_search(names.begin(), names.end(), *body) || parseargv_takes(*body)) continue;
        const std::string custom = custom_action_name(arg);
        if (is_custom_action && !custom.empty() && is_custom_action(custom)) continue;

        // Every name it begins (an ambiguous prefix), else every name it
        // nearly is.
        std::set<std::string> found;
        for (const auto& n : names)
            if (starts_with(n, *body)) found.insert("--" + n);
        // Only a name no longer than the longest known one plus the slips
        // allowed can be near one.
        if (found.empty() && body->size() <= longest + 2)
            for (const auto& n : names)
                if (edit_distance(*body, n) <= allowed_distance(n)) found.insert("--" + n);
        if (found.empty()) r.unknown.push_back(arg);
        else r.mistyped.push_back({arg, {found.begin(), found.end()}});
    }
    return r;
}

std::string suggestion(const Mistyped& m) {
    std::string text = "did you mean ";
    for (size_t i = 0; i < m.candidates.size(); ++i) {
        if (i) text += i + 1 == m.candidates.size() ? " or " : ", ";
        text += m.candidates[i];
    }
    return text + "?";
}

}  // namespace norvik::cli
