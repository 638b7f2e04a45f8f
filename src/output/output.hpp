// The output objects: everything a run shows to a person goes through one.
// The base class renders each message as one JSON line; the formatted
// classes (formatted*.hpp) render for people instead.
//
//   auto o = norvik::output::output_for(json_lines, html);
//   o->out("Stopping exim ... ", nullptr, norvik::output::PARTIAL_MESSAGE);
//   o->success("done");
//   o->display_message_set("Service Status", text);
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace norvik {

namespace output {

inline constexpr int PARTIAL_MESSAGE = 1;
inline constexpr int COMPLETE_MESSAGE = 0;
// Source of messages produced by this process (no host: no source colour).
inline constexpr int SOURCE_LOCAL = 0;
// Colour given to plain output without a source host: none.
inline constexpr const char* SOURCE_NONE = "";

// Message type words.
inline constexpr const char* TYPE_ERROR = "error";
inline constexpr const char* TYPE_FAIL = "fail";
inline constexpr const char* TYPE_PANIC = "panic";
inline constexpr const char* TYPE_WARN = "warn";
inline constexpr const char* TYPE_SUCCESS = "success";
inline constexpr const char* TYPE_OUT = "out";
inline constexpr const char* TYPE_DEBUG = "debug";
inline constexpr const char* TYPE_HEADER = "header";

// The process-wide debug switch (off by default): debug() prints only when on.
void set_debug(bool on);
bool debug_enabled();

// Constructor options. `filehandle` defaults to standard output. `parent`
// is a job context: {"pid":..,"contents":{"queue","child_number","item_name","item"}}.
struct OutputOptions {
    std::FILE* filehandle = nullptr;
    nlohmann::json parent = nullptr;
    nlohmann::json source = nullptr;
};

}  // namespace output

class Output {
public:
    explicit Output(const output::OutputOptions& options = {});
    virtual ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Contents: a text, or a record whose "msg" entry is the text. Source:
    // null, SOURCE_LOCAL (0) or a record that may carry "host".
    virtual void message(const std::string& type, const nlohmann::json& contents,
                         const nlohmann::json& source = nullptr, int partial_message = output::COMPLETE_MESSAGE,
                         bool prepend_message = false);

    void error(const nlohmann::json& contents, const nlohmann::json& source = nullptr,
               int partial_message = output::COMPLETE_MESSAGE);
    void warn(const nlohmann::json& contents, const nlohmann::json& source = nullptr,
              int partial_message = output::COMPLETE_MESSAGE);
    void success(const nlohmann::json& contents, const nlohmann::json& source = nullptr,
                 int partial_message = output::COMPLETE_MESSAGE);
    void out(const nlohmann::json& contents, const nlohmann::json& source = nullptr,
             int partial_message = output::COMPLETE_MESSAGE);
    // Prints only while the debug switch is on; returns whether it printed.
    bool debug(const nlohmann::json& contents, const nlohmann::json& source = nullptr,
               int partial_message = output::COMPLETE_MESSAGE);

    // Sends the text as error, warning or plain output, judged by its words.
    // Returns the type word chosen.
    std::string output_highlighted_message(const std::string& message);
    // A heading and, one level deeper, each non-empty line of `messages`,
    // then an empty line.
    void display_message_set(const std::string& header, const std::string& messages);

    int increase_indent_level();
    // At level 0: a warning on standard error, the level stays 0.
    int decrease_indent_level();
    int get_indent_level() const { return _indent_level; }
    int reset_indent_level();

    // Raises the level now, lowers it again when destroyed.
    class IndentGuard {
    public:
        explicit IndentGuard(Output& o);
        ~IndentGuard();
        IndentGuard(IndentGuard&& other) noexcept;
        IndentGuard(const IndentGuard&) = delete;
        IndentGuard& operator=(const IndentGuard&) = delete;
        IndentGuard& operator=(IndentGuard&&) = delete;

    private:
        Output* o_;
    };
    [[nodiscard]] IndentGuard create_indent_guard() { return IndentGuard(*this); }

    int set_source(const nlohmann::json& source);
    const nlohmann::json& source() const { return source_; }
    // An output object serialises to a fixed placeholder.
    std::string TO_JSON() const { return "[Norvik::Output object]"; }

    std::FILE* filehandle() const { return filehandle_; }
    // "Norvik::Output", "Norvik::Output::Formatted::Terminal", ...
    virtual std::string class_name() const { return "Norvik::Output"; }

protected:
    // Extra entries for the JSON record (none in the base class).
    virtual nlohmann::json message_additions() const { return nlohmann::json::object(); }
    // Writes the record's JSON text and a line end in one write.
    virtual void render_record(const nlohmann::json& record);
    // Writes `text` to the filehandle in one call and flushes it.
    void write_text(const std::string& text);

    std::FILE* filehandle_;
    nlohmann::json _parent;
    nlohmann::json source_;
    int _indent_level = 0;
};

// Text of contents: the "msg" entry of a record, the text itself, the items
// of a list joined by LIST_SEPARATOR, or the JSON form of anything else
// ("" for null).
namespace output {
inline constexpr char LIST_SEPARATOR = '\n';
std::string contents_text(const nlohmann::json& contents);
// "[type] " and the contents (key=value pairs of a record): how a message of
// a type that a formatter does not know is shown, so nothing is lost.
std::string raw_message_text(const std::string& type, const nlohmann::json& contents);
}  // namespace output

}  // namespace norvik
