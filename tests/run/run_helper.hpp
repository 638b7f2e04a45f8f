// The test program doubles as a child helper: with NORVIK_RUN_HELPER=1 in its
// environment it runs the behaviour named by its arguments and exits before
// the tests start. Real children without a shell.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace norvik::test::helper {

// The test program's own path.
const std::string& self();
// The environment entry that turns helper mode on.
std::map<std::string, std::string> env();

}  // namespace norvik::test::helper
