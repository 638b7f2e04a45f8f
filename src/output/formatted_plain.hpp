// Plain text output: the formatted rendering without any colour.
#pragma once

#include "output/formatted.hpp"

namespace norvik::output {

class Plain : public norvik::output::Formatted {
public:
    using Formatted::Formatted;
    std::string class_name() const override { return "Norvik::Output::Formatted::Plain"; }

protected:
    std::string _format_text(const std::string& /*color*/, const std::string& text) override { return text; }
};

}  // namespace norvik::output
