// The output object for where a run's messages go: JSON lines for a
// program, HTML for a web page, else the terminal.
#pragma once

#include <memory>

#include "output/output.hpp"

namespace norvik::output {

std::shared_ptr<norvik::Output> output_for(bool json_lines, bool html);

}  // namespace norvik::output
