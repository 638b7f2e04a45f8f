#include "foundation/diagnostics.hpp"

#include <unistd.h>

#include <cerrno>

namespace norvik::foundation {
namespace {

Sink& sink_storage() {
    // Where diagnostics go, set by the logger.
    static Sink sink;
    return sink;
}

std::optional<int>& level_storage() {
    // The diagnostics level, set by the logger.
    static std::optional<int> level;
    return level;
}

void to_stderr(const std::string& text) {
    std::string line = "warn: " + text + "\n";
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

void set_warn_sink(Sink sink) { sink_storage() = std::move(sink); }

void warn(const std::string& text) {
    const int saved = errno;
    if (sink_storage()) sink_storage()(text);
    else to_stderr(text);
    errno = saved;
}

std::optional<int> debug_level() { return level_storage(); }
void set_debug_level(std::optional<int> level) { level_storage() = level; }

}  // namespace norvik::foundation
