// The process table from the `ps` program, for when /proc cannot be read.
#pragma once

#include <string>
#include <vector>

#include "proc/process_table.hpp"

namespace norvik::proc {

std::vector<ProcRecord> parse_ps_via_program(const ParseOptions& options = {});

// The records from ps output in the fixed column layout (exposed for tests).
std::vector<ProcRecord> parse_ps_output(const std::string& text, const ParseOptions& options);

// The ps program used ("/usr/bin/ps" or "/bin/ps"); settable for tests.
const std::string& PS_PROGRAM();
void set_PS_PROGRAM(const std::string& path);

}  // namespace norvik::proc
