// Where the foundation's own warnings go. The foundation sits below the
// logger, so the entry routes them there at start (log::route_foundation_
// diagnostics); until then, and in programs that never do, they go to
// standard error. errno is preserved across every call.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace norvik::foundation {

using Sink = std::function<void(const std::string& text)>;

// Replaces the sink (nullptr restores standard error).
void set_warn_sink(Sink sink);
void warn(const std::string& text);

// The process-wide debug level (unset by default); the logger's front reads
// and sets the same value.
std::optional<int> debug_level();
void set_debug_level(std::optional<int> level);

}  // namespace norvik::foundation
