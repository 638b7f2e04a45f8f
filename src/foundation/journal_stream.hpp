// Whether a standard stream is connected to the journal, and the priority
// prefix ("<3>") the journal reads from the start of each line there.
#pragma once

#include <string>

namespace norvik::foundation {

// Priorities as the journal's stream protocol numbers them.
inline constexpr int PRIORITY_ERROR = 3;
inline constexpr int PRIORITY_WARNING = 4;
inline constexpr int PRIORITY_INFO = 6;
inline constexpr int PRIORITY_DEBUG = 7;

// True when `fd` is the stream JOURNAL_STREAM names ("<device>:<inode>").
// Decided once per descriptor and process: the variable is read when first
// asked, so capture_journal() early, before anything edits the environment.
bool is_journal(int fd);
void capture_journal();
// Tests: forget the answers.
void reset_journal();

// "<N>" when `fd` is the journal, else "".
std::string journal_prefix(int fd, int priority);
// The priority of a message type or log level word ("error", "warn", ...).
int priority_of(const std::string& type);
// Each line of `text` that starts at a line start gets journal_prefix(fd, priority);
// `at_line_start` says whether the text begins one, and is updated.
std::string prefix_lines(int fd, int priority, const std::string& text, bool& at_line_start);

}  // namespace norvik::foundation
