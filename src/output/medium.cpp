#include "output/medium.hpp"

#include "output/formatted_html.hpp"
#include "output/formatted_terminal.hpp"

namespace norvik::output {

std::shared_ptr<norvik::Output> output_for(bool json_lines, bool html) {
    if (json_lines) return std::make_shared<norvik::Output>();
    if (html) return std::make_shared<output::HTML>();
    return std::make_shared<output::Terminal>();
}

}  // namespace norvik::output
