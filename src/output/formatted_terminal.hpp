// Plain text with ANSI colours, when it is safe to colour: the output is a
// terminal, NO_COLOR is unset and neither colour-disabling marker file
// exists (foundation::no_color_flag(), foundation::user_no_color_flag($HOME)).
//
// While a line stays open on a terminal (a partial message: "Starting exim "),
// a dot follows every second nothing else is written, so that a long wait
// shows it is one.
#pragma once

#include <memory>

#include "output/formatted_plain.hpp"

namespace norvik::output {

class Terminal : public Plain {
public:
    explicit Terminal(const OutputOptions& options = {});
    ~Terminal() override;
    std::string class_name() const override { return "Norvik::Output::Formatted::Terminal"; }

    // Forgets the process-wide "colour disabled" decision.
    static void _clear_cache();
    // Whether colour is disabled by NO_COLOR or a marker file (cached).
    static bool color_disabled();

    void message(const std::string& type, const nlohmann::json& contents, const nlohmann::json& source = nullptr,
                 int partial_message = COMPLETE_MESSAGE, bool prepend_message = false) override;

    // Milliseconds of silence on an open line before each progress dot
    // (1000; tests shorten it).
    static void set_progress_interval_ms(int ms);

protected:
    std::string _format_text(const std::string& color, const std::string& text) override;

private:
    struct Ticker;
    std::unique_ptr<Ticker> ticker_;
};

}  // namespace norvik::output
