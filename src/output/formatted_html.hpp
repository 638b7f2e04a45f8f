// HTML output for the panel's web pages: one <span> element per message,
// its text escaped, the type as a class, indentation as non-breaking spaces
// and the end of a completed line as <br />.
#pragma once

#include "output/formatted.hpp"

namespace norvik::output {

class HTML : public norvik::output::Formatted {
public:
    using Formatted::Formatted;
    std::string class_name() const override { return "Norvik::Output::Formatted::HTML"; }

    void message(const std::string& type, const nlohmann::json& contents, const nlohmann::json& source = nullptr,
                 int partial_message = COMPLETE_MESSAGE, bool prepend_message = false) override;

protected:
    void _safe_render_message(const std::string& msg, const std::string& color, int partial_message,
                              bool prepend_message) override;
    std::string _indent() const override;

private:
    std::string current_type_;
};

// &, <, >, " and ' as entities.
std::string html_escape(const std::string& text);

}  // namespace norvik::output
