#include "log/debug.hpp"

#include <cerrno>

#include "foundation/diagnostics.hpp"

namespace norvik::log {
namespace {

std::shared_ptr<Logger>& front() {
    // The logger the debug functions write to, replaced when the run's logger changes.
    static std::shared_ptr<Logger> lg;
    return lg;
}

// Keeps the caller's errno across a logging call.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }

private:
    int saved_;
};

}  // namespace

Logger& logger() {
    auto& lg = front();
    if (!lg) {
        ErrnoKeeper keep;
        lg = Logger::create();
    }
    return *lg;
}

void set_logger(std::shared_ptr<Logger> lg) { front() = std::move(lg); }

int log_error(const std::string& text) {
    ErrnoKeeper keep;
    return logger().error(text);
}
int log_warn(const std::string& text) {
    ErrnoKeeper keep;
    return logger().warn(text);
}
int log_warn_no_backtrace(const std::string& text) {
    ErrnoKeeper keep;
    auto saved = log::enable_backtrace();
    log::set_enable_backtrace(false);
    int r = 0;
    try {
        r = logger().warn(text);
    } catch (...) {
        log::set_enable_backtrace(saved);
        throw;
    }
    log::set_enable_backtrace(saved);
    return r;
}
int log_invalid(const std::string& text) {
    ErrnoKeeper keep;
    return logger().invalid(text);
}
int log_deprecated(const std::string& text) {
    ErrnoKeeper keep;
    return logger().deprecated(text);
}
int log_info(const std::string& text) {
    ErrnoKeeper keep;
    return logger().info(text);
}
int log_debug(const std::string& text) {
    ErrnoKeeper keep;
    return logger().debug(text) ? 1 : 0;
}
void log_panic(const std::string& text) {
    ErrnoKeeper keep;
    logger().panic(text);
}
void log_die(const std::string& text) {
    ErrnoKeeper keep;
    logger().die(text);
}

std::optional<int> debug_level() { return foundation::debug_level(); }
std::optional<int> debug_level(int level) {
    foundation::set_debug_level(level);
    return foundation::debug_level();
}
void clear_debug_level() { foundation::set_debug_level(std::nullopt); }

void route_foundation_diagnostics() {
    foundation::set_warn_sink([](const std::string& text) { log_warn(text); });
}

}  // namespace norvik::log
