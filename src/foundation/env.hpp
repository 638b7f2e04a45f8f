// Reduces the process environment to a fixed safe list.
#pragma once

#include <string>
#include <vector>

namespace norvik::foundation {

struct CleanOptions {
    std::vector<std::string> keep;    // kept in addition to the safe list
    std::vector<std::string> remove;  // removed although on the safe list
    bool http_purge = false;          // also drop the request variables
};

const std::vector<std::string>& safe_list();

// Removes every variable not on the (adjusted) safe list.
void clean_env(const CleanOptions& options = {});

}  // namespace norvik::foundation
