#include "output/formatted_html.hpp"

#include "output/control_chars.hpp"

namespace norvik::output {

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void HTML::message(const std::string& type, const nlohmann::json& contents, const nlohmann::json& source,
                   int partial_message, bool prepend_message) {
    current_type_ = is_known_type(type) ? type : "raw";
    if (!is_known_type(type)) {
        // Same visible text as the other classes, as one element.
        std::string text = output::raw_message_text(type, contents);
        _safe_render_message(text, "", COMPLETE_MESSAGE, false);
        return;
    }
    Formatted::message(type, contents, source, partial_message, prepend_message);
}

std::string HTML::_indent() const {
    std::string s;
    for (int i = 0; i < _indent_level; ++i) s += "&nbsp;&nbsp;&nbsp;&nbsp;";
    return s;
}

void HTML::_safe_render_message(const std::string& msg, const std::string& /*color*/, int partial_message,
                                bool prepend_message) {
    bool ends_line = true;
    auto lines = split_lines(msg, partial_message, ends_line);
    std::string body;
    bool at_line_start = _last_message_had_newline;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (at_line_start) body += _indent();
        if (prepend_message) body += html_escape(_prepend_message());
        body += html_escape(replace_control_characters(lines[i].text));
        // Inner line ends stay inside the element; the last one follows it.
        if (lines[i].newline && i + 1 < lines.size()) body += "<br />";
        at_line_start = lines[i].newline;
    }
    std::string element = "<span class=\"norvik-msg norvik-" + current_type_ + "\">" + body + "</span>";
    if (ends_line) element += "<br />\n";
    write_text(element);
    _last_message_had_newline = ends_line;
}

}  // namespace norvik::output
