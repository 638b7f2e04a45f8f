// Where the process table is read: "/proc", or a fake tree a test sets up.
// Every per-process read goes through it; only reads of this process's own
// entries (/proc/self, our own task list) stay on the real /proc.
#pragma once

#include <string>

namespace norvik::proc {

const std::string& proc_root();
// Trailing slashes are dropped. A global because every reader of every floor
// above asks it, and only tests change it.
void set_proc_root(const std::string& path);
// "<root>/<pid>/<entry>" ("<root>/<pid>" when entry is empty).
std::string proc_entry(long pid, const char* entry = "");

}  // namespace norvik::proc
