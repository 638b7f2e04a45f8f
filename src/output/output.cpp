#include "output/output.hpp"

#include <unistd.h>

#include <cctype>
#include <regex>
#include <string_view>

namespace norvik {

namespace output {
namespace {
// Debug output switch, set from the command line.
bool g_debug = false;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool iequal_at(const std::string& s, size_t at, std::string_view word) {
    if (at > s.size() || s.size() - at < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[at + i])) != word[i]) return false;
    return true;
}

// ":", blanks, "bad <word> name" in any case. Scanned: a daemon's line can
// be very long, and the library's matcher recurses once per character a
// repetition takes.
bool has_bad_name(const std::string& s) {
    for (size_t p = s.find(':'); p != std::string::npos; p = s.find(':', p + 1)) {
        size_t i = p + 1;
        while (i < s.size() && is_blank(s[i])) ++i;
        if (!iequal_at(s, i, "bad ")) continue;
        size_t b = i + 4, e = b;
        while (e < s.size() && !is_blank(s[e])) ++e;
        if (e > b && iequal_at(s, e, " name")) return true;
    }
    return false;
}
}  // namespace
void set_debug(bool on) { g_debug = on; }
bool debug_enabled() { return g_debug; }

std::string contents_text(const nlohmann::json& contents) {
    if (contents.is_null()) return "";
    if (contents.is_string()) return contents.get<std::string>();
    if (contents.is_object()) {
        auto it = contents.find("msg");
        if (it == contents.end()) return "";
        return contents_text(*it);
    }
    if (contents.is_array()) {
        // One line per item: the pieces of a list never run together.
        std::string joined;
        for (const auto& part : contents) {
            if (&part != &contents.front()) joined += LIST_SEPARATOR;
            joined += contents_text(part);
        }
        return joined;
    }
    return contents.dump();
}

std::string raw_message_text(const std::string& type, const nlohmann::json& contents) {
    std::string text = "[" + type + "] ";
    if (!contents.is_object()) return text + contents_text(contents);
    bool first = true;
    for (auto& [k, v] : contents.items()) {
        if (!first) text += ", ";
        first = false;
        text += k + "=" + (v.is_string() ? v.get<std::string>() : v.dump());
    }
    return text;
}
}  // namespace output

Output::Output(const output::OutputOptions& options)
    : filehandle_(options.filehandle ? options.filehandle : stdout), _parent(options.parent), source_(options.source) {}

Output::~Output() = default;

void Output::write_text(const std::string& text) {
    if (text.empty()) return;
    std::fwrite(text.data(), 1, text.size(), filehandle_);
    std::fflush(filehandle_);
}

void Output::render_record(const nlohmann::json& record) {
    // Replace invalid UTF-8 rather than throwing halfway through a run.
    write_text(record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void Output::message(const std::string& type, const nlohmann::json& contents, const nlohmann::json& source,
                     int partial_message, bool /*prepend_message*/) {
    nlohmann::json record = {
        {"indent", _indent_level},
        {"pid", static_cast<long>(::getpid())},
        {"type", type},
        {"contents", contents},
        {"partial", partial_message ? output::PARTIAL_MESSAGE : output::COMPLETE_MESSAGE},
    };
    // Keep the additions alive for the loop: items() does not extend the
    // life of a temporary.
    const nlohmann::json additions = message_additions();
    for (auto& [k, v] : additions.items()) record[k] = v;
    const nlohmann::json& src = source.is_null() ? source_ : source;
    if (!src.is_null()) record["source"] = src;
    render_record(record);
}

void Output::error(const nlohmann::json& c, const nlohmann::json& s, int p) { message(output::TYPE_ERROR, c, s, p); }
void Output::warn(const nlohmann::json& c, const nlohmann::json& s, int p) { message(output::TYPE_WARN, c, s, p); }
void Output::success(const nlohmann::json& c, const nlohmann::json& s, int p) {
    message(output::TYPE_SUCCESS, c, s, p);
}
void Output::out(const nlohmann::json& c, const nlohmann::json& s, int p) { message(output::TYPE_OUT, c, s, p); }
bool Output::debug(const nlohmann::json& c, const nlohmann::json& s, int p) {
    if (!output::debug_enabled()) return false;
    message(output::TYPE_DEBUG, c, s, p);
    return true;
}

std::string Output::output_highlighted_message(const std::string& msg) {
    // std::regex has no look-behind: the two negative look-behinds of the
    // error pattern are checked by hand on each candidate match.
    static const std::regex error_word(R"((error|err)[\]\s:])", std::regex::icase);
    static const std::regex error_other(R"(\* (?:DIE|FATAL)|\] E )", std::regex::icase);
    static const std::regex warn_re(R"((?:warn(?:ing)?[\]\s:]|\] W ))", std::regex::icase);

    auto lower_at = [&](std::ptrdiff_t i) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(msg[static_cast<size_t>(i)])));
    };
    bool is_error = output::has_bad_name(msg) || std::regex_search(msg, error_other);
    for (std::sregex_iterator it(msg.begin(), msg.end(), error_word), end; !is_error && it != end; ++it) {
        std::ptrdiff_t pos = it->position(0);
        std::string word = (*it)[1].str();
        bool is_err = word.size() == 3;
        if (!is_err) {
            // "error" not preceded by "log-"
            if (pos >= 4 && lower_at(pos - 4) == 'l' && lower_at(pos - 3) == 'o' && lower_at(pos - 2) == 'g' &&
                msg[static_cast<size_t>(pos - 1)] == '-')
                continue;
            is_error = true;
        } else {
            // "err" not preceded by a letter or a dot
            if (pos >= 1) {
                char prev = msg[static_cast<size_t>(pos - 1)];
                if (std::isalpha(static_cast<unsigned char>(prev)) || prev == '.') continue;
            }
            is_error = true;
        }
    }
    if (is_error) {
        error(msg);
        return output::TYPE_ERROR;
    }
    if (std::regex_search(msg, warn_re)) {
        warn(msg);
        return output::TYPE_WARN;
    }
    out(msg);
    return output::TYPE_OUT;
}

void Output::display_message_set(const std::string& header, const std::string& messages) {
    message(output::TYPE_HEADER, header + ":");
    {
        auto guard = create_indent_guard();
        size_t i = 0;
        while (i < messages.size()) {
            size_t nl = messages.find('\n', i);
            if (nl == std::string::npos) nl = messages.size();
            if (nl > i) output_highlighted_message(messages.substr(i, nl - i));
            i = nl + 1;
        }
    }
    out(" ");
}

int Output::increase_indent_level() { return ++_indent_level; }

int Output::decrease_indent_level() {
    if (_indent_level <= 0) {
        static const char warning[] = "Output: the indent level cannot go below 0.\n";
        ssize_t ignored = ::write(2, warning, sizeof warning - 1);
        (void)ignored;
        _indent_level = 0;
        return 0;
    }
    return --_indent_level;
}

int Output::reset_indent_level() { return _indent_level = 0; }

int Output::set_source(const nlohmann::json& source) {
    source_ = source;
    return 1;
}

Output::IndentGuard::IndentGuard(Output& o) : o_(&o) { o_->increase_indent_level(); }
Output::IndentGuard::IndentGuard(IndentGuard&& other) noexcept : o_(other.o_) { other.o_ = nullptr; }
Output::IndentGuard::~IndentGuard() {
    if (!o_) return;
    int saved = errno;
    o_->decrease_indent_level();
    errno = saved;
}

}  // namespace norvik
