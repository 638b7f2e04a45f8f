#include "output/formatted.hpp"

#include "foundation/journal_stream.hpp"
#include "output/control_chars.hpp"
#include "output/fmt.hpp"

namespace norvik::output {

namespace {
bool is_error_group(const std::string& t) { return t == TYPE_ERROR || t == TYPE_FAIL || t == TYPE_PANIC; }

std::string value_text(const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); }
}  // namespace

bool is_known_type(const std::string& t) {
    return is_error_group(t) || t == TYPE_WARN || t == TYPE_SUCCESS || t == TYPE_HEADER || t == TYPE_OUT ||
           t == TYPE_DEBUG;
}

std::string color_for_type(const std::string& t, const nlohmann::json& source) {
    if (is_error_group(t)) return COLOR_ERROR;
    if (t == TYPE_WARN) return COLOR_WARN;
    if (t == TYPE_SUCCESS) return COLOR_SUCCESS;
    if (t == TYPE_HEADER) return COLOR_HEADER;
    bool has_host = source.is_object() && source.contains("host") && !source["host"].is_null() &&
                    !(source["host"].is_string() && source["host"].get<std::string>().empty());
    return has_host ? COLOR_SOURCE : SOURCE_NONE;
}

Formatted::Formatted(const OutputOptions& options) : Output(options) { reset(); }

int Formatted::reset() {
    _indent_level = 0;
    _last_message_had_newline = true;
    return 1;
}

std::string Formatted::_indent() const { return std::string(static_cast<size_t>(std::max(0, _indent_level)), '\t'); }

void Formatted::message(const std::string& type, const nlohmann::json& contents, const nlohmann::json& source,
                        int partial_message, bool prepend_message) {
    const nlohmann::json& src = source.is_null() ? source_ : source;
    priority_ = foundation::priority_of(type);
    if (is_known_type(type)) {
        _safe_render_message(contents_text(contents), color_for_type(type, src), partial_message, prepend_message);
        return;
    }
    // A type this class does not know is shown raw, so nothing is lost.
    std::string text = replace_control_characters(raw_message_text(type, contents)) + "\n";
    bool at_start = _last_message_had_newline;
    write_text(foundation::prefix_lines(::fileno(filehandle_), priority_, text, at_start));
    _last_message_had_newline = true;
}

std::vector<Formatted::Line> Formatted::split_lines(const std::string& msg, int partial_message, bool& ends_line) {
    bool ends_nl = !msg.empty() && msg.back() == '\n';
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= msg.size()) {
        size_t nl = msg.find('\n', i);
        if (nl == std::string::npos) {
            parts.push_back(msg.substr(i));
            break;
        }
        parts.push_back(msg.substr(i, nl - i));
        i = nl + 1;
    }
    // Trailing empty fields are not lines of their own.
    while (parts.size() > 1 && parts.back().empty()) parts.pop_back();
    if (parts.empty()) parts.emplace_back();
    std::vector<Line> lines;
    for (size_t n = 0; n < parts.size(); ++n) {
        bool last = n + 1 == parts.size();
        bool nl = !last || !partial_message || ends_nl;
        lines.push_back({parts[n], nl});
    }
    ends_line = lines.back().newline;
    return lines;
}

std::string Formatted::job_header() {
    if (!_parent.is_object()) return "";
    using norvik::output::ALIGN_RIGHT;
    using norvik::output::fixed_length;
    auto text_of = [](const nlohmann::json& j, const char* key) -> std::string {
        if (!j.is_object() || !j.contains(key) || j[key].is_null()) return "";
        return value_text(j[key]);
    };
    auto cached = [](std::map<std::string, std::string>& cache, const std::string& raw, size_t len, int align) {
        auto it = cache.find(raw);
        if (it != cache.end()) return it->second;
        return cache[raw] = fixed_length(raw, len, align);
    };
    const nlohmann::json contents = _parent.contains("contents") ? _parent["contents"] : nlohmann::json::object();
    std::string pid = cached(fmt_cache_pid, text_of(_parent, "pid"), 6, ALIGN_RIGHT);
    std::string qc = cached(fmt_cache_queue_child_number,
                            text_of(contents, "queue") + ":" + text_of(contents, "child_number"), 10, 0);
    std::string name = cached(fmt_cache_item_name, text_of(contents, "item_name"), 1, 0);
    std::string item = cached(fmt_cache_item, text_of(contents, "item"), 16, 0);
    return format_message(COLOR_JOB, pid + " " + qc + " " + name + " " + item + ": ");
}

void Formatted::_safe_render_message(const std::string& msg, const std::string& color, int partial_message,
                                     bool prepend_message) {
    bool ends_line = true;
    auto lines = split_lines(msg, partial_message, ends_line);
    std::string job = job_header();
    std::string text;
    bool at_line_start = _last_message_had_newline;
    for (const auto& line : lines) {
        std::string piece;
        if (at_line_start) piece += _indent();
        if (prepend_message) piece += _prepend_message();
        piece += format_message(color, replace_control_characters(line.text));
        if (line.newline) piece += _new_line();
        text += job + piece;
        at_line_start = line.newline;
    }
    // Under a unit the journal reads each line's priority from its start.
    bool at_start = _last_message_had_newline;
    write_text(foundation::prefix_lines(::fileno(filehandle_), priority_, text, at_start));
    _last_message_had_newline = ends_line;
}

}  // namespace norvik::output
