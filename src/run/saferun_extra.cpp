#include "run/saferun_extra.hpp"

#include "log/logger.hpp"
#include "run/saferun_errors.hpp"

namespace norvik::run {
namespace {

Options prepare(ExtraOptions& o) {
    Options base = std::move(o.base);
    for (auto& [k, v] : o.env) base.extra_env[k] = v;
    if (o.buffer) base.merge_stderr = true;
    return base;
}

void log_lines(Logger& logger, const std::string* text, bool warn) {
    if (!text) return;
    for (auto& line : split_lines(*text)) {
        if (warn) logger.warn(line);
        else logger.info(line);
    }
}

}  // namespace

Extra::Extra(ExtraOptions options) : Extra(options, 0) {}

Extra::Extra(ExtraOptions& o, int) : Object(prepare(o)) {
    if (o.buffer && stdout_r()) *o.buffer = *stdout_r();
    if (o.stdout_buffer && stdout_r()) *o.stdout_buffer = *stdout_r();
    if (o.stderr_buffer && stderr_r()) *o.stderr_buffer = *stderr_r();
    if (o.logger) {
        log_lines(*o.logger, stdout_r(), false);
        log_lines(*o.logger, stderr_r(), true);
    }
}

Extra Extra::new_or_die(ExtraOptions options) {
    Extra run(std::move(options));
    run.die_if_error();
    return run;
}

}  // namespace norvik::run
