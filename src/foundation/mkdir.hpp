// Directory creation for state directories whose parents may be missing.
#pragma once

#include <sys/types.h>

#include <string>

namespace norvik::foundation {

// Creates `dir` with exactly `mode` (and missing parents with parent_mode).
// An existing directory is left as it is; a symbolic link or a non-directory
// in its place is refused. Returns 0 on success, else an errno value.
int make_dir_p(const std::string& dir, mode_t mode, mode_t parent_mode = 0755);

}  // namespace norvik::foundation
