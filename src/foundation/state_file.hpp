// Opening the tool's own state folders and files (locks, startup logs, the
// standard log) so that nobody but root decides where a write as root lands.
//
// A folder is opened by walking down from the tree's root with openat, one
// component at a time. Below the root, the system's own folders (those before
// the first "norvik" component: var, usr, usr/local) may be links owned by
// root; from the tool's own tree on nothing is followed. A folder of the
// tool's own tree that is not root's, or that others may write, is made
// root's and closed to others before use, with a warning.
//
// A file is opened without following a link, without blocking on a FIFO and
// without truncating before it is checked. What is not a regular file is
// refused; a regular file with more than one link, or owned by someone else,
// is replaced by a new one, with a warning.
//
// Functions return a close-on-exec descriptor, or -1 with errno set (ELOOP
// for a link, EINVAL for what is not a regular file or folder).
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace norvik::foundation {

// Where warnings go; the default is the foundation's warning sink. The
// logger passes its own, since that sink may lead back to it.
using Warn = std::function<void(const std::string& text)>;

// The folder `dir` (absolute). With `mode`, what is missing is created: the
// folder with `mode`, those between with 0755; without, ENOENT.
int open_dir(const std::string& dir, std::optional<mode_t> mode, const Warn& warn = {});

// The file `path`: its folder as open_dir with `dir_mode`, then the file
// with `flags` (O_CREAT creates it with `mode`, O_TRUNC empties it once
// checked).
int open_file(const std::string& path, int flags, mode_t mode, std::optional<mode_t> dir_mode, const Warn& warn = {});

// Why `path`, a file the run would take orders from (a service definition),
// is not to be trusted: it, or a folder on its way below the tree's root, is
// not root's, others may write it, or it is reached through a link of the
// tool's own tree. Empty when it may be trusted; nullopt when it is missing.
std::optional<std::string> untrusted_reason(const std::string& path);

// True when `uid` may own the tool's state: root, or the user the run is.
bool is_trusted_owner(uid_t uid);

}  // namespace norvik::foundation
