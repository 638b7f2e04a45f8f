// Output for people: messages split into lines, indented, each line coloured
// by message type; a partial message leaves its line open for the next one.
#pragma once

#include <map>
#include <string>

#include "output/output.hpp"

namespace norvik::output {

// Colour specifications: attribute names separated by whitespace.
inline constexpr const char* COLOR_ERROR = "bold red";
inline constexpr const char* COLOR_WARN = "bold yellow";
inline constexpr const char* COLOR_SUCCESS = "bold green";
inline constexpr const char* COLOR_HEADER = "bold blue";
inline constexpr const char* COLOR_SOURCE = "cyan";
inline constexpr const char* COLOR_JOB = "magenta";
// Indentation comes before the prepended text.
inline constexpr bool INDENT_AFTER_PREPEND = false;

class Formatted : public Output {
public:
    explicit Formatted(const OutputOptions& options = {});

    void message(const std::string& type, const nlohmann::json& contents, const nlohmann::json& source = nullptr,
                 int partial_message = COMPLETE_MESSAGE, bool prepend_message = false) override;

    // Indent level 0, the next message starts a line.
    int reset();
    std::string format_message(const std::string& color, const std::string& text) { return _format_text(color, text); }
    bool last_message_had_newline() const { return _last_message_had_newline; }
    std::string class_name() const override { return "Norvik::Output::Formatted"; }

protected:
    virtual std::string _format_text(const std::string& /*color*/, const std::string& text) { return text; }
    virtual std::string _indent() const;
    virtual std::string _new_line() const { return "\n"; }
    virtual std::string _prepend_message() const { return ""; }
    // Renders one message: split, indent, colour, print.
    virtual void _safe_render_message(const std::string& msg, const std::string& color, int partial_message,
                                      bool prepend_message);
    // The job-context header ("" without a parent).
    std::string job_header();

    bool _last_message_had_newline = true;
    // The journal priority of the message being rendered.
    int priority_ = 6;
    std::map<std::string, std::string> fmt_cache_pid;
    std::map<std::string, std::string> fmt_cache_queue_child_number;
    std::map<std::string, std::string> fmt_cache_item_name;
    std::map<std::string, std::string> fmt_cache_item;

    // Lines of a message and whether each gets a line end.
    struct Line {
        std::string text;
        bool newline;
    };
    static std::vector<Line> split_lines(const std::string& msg, int partial_message, bool& ends_line);
};

// The colour for a type word ("" = none); `source` decides plain output.
std::string color_for_type(const std::string& type, const nlohmann::json& source);
// True for the type words the formatted classes render themselves.
bool is_known_type(const std::string& type);

}  // namespace norvik::output
