// Where the process table is read: "/proc", or a fake tree a test sets up.
// Every per-process read goes through it; the reads that must see the real
// kernel stay on /proc: this process's own entries, the mount probe, and the
// state and start-time probes of a live pid.
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
