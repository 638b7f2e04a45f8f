// Plain text with ANSI colours, when it is safe to colour: the output is a
// terminal, NO_COLOR is unset and neither colour-disabling marker file
// exists (paths::no_color_flag(), paths::user_no_color_flag($HOME)).
#pragma once

#include "output/Output_Formatted_Plain.hpp"

namespace norvik::output::formatted {

class Terminal : public Plain {
public:
    using Plain::Plain;
    std::string class_name() const override { return "Norvik::Output::Formatted::Terminal"; }

    // Forgets the process-wide "colour disabled" decision.
    static void _clear_cache();
    // Whether colour is disabled by NO_COLOR or a marker file (cached).
    static bool color_disabled();

protected:
    std::string _format_text(const std::string& color, const std::string& text) override;
};

}  // namespace norvik::output::formatted
