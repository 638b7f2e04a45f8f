#include "run/fork_async.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "exception/exception.hpp"
#include "log/debug.hpp"
#include "run/errno_names.hpp"

namespace norvik::run {

void child_exit(int code) { ::_exit(code); }

void report_child_error(const std::exception_ptr& error, Flags flags) {
    if (flags.quiet || !error) return;
    int saved = errno;
    std::string text;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text = exception::get_string(e);
    } catch (const nlohmann::json& j) {
        text = j.dump();
    } catch (...) {  // the child's failure may be of any type; it is still reported
        text = "unknown error";
    }
    if (!flags.no_warn) {
        try {
            log::log_warn(text);
        } catch (const std::exception&) {
            // A log that cannot be written changes nothing: the text goes to stderr just below.
        }
    }
    std::string line = text;
    if (line.empty() || line.back() != '\n') line += '\n';
    ssize_t ignored = ::write(2, line.data(), line.size());
    (void)ignored;
    errno = saved;
}

pid_t do_in_child(const std::function<void()>& code, Flags flags) {
    pid_t pid = ::fork();
    if (pid < 0) {
        int err = errno;
        auto e = exception::create("IO::ForkError", "The system failed to fork a subprocess because of an error: [_1]",
                                   {run::strerror_text(err)});
        e->set("error", run::strerror_text(err));
        e->set("errno", err);
        e->raise();
    }
    if (pid > 0) return pid;
    int code_out = 0;
    try {
        errno = 0;
        code();
    } catch (...) {  // a child after fork reports and _exits, whatever it threw
        int err = errno;
        report_child_error(std::current_exception(), flags);
        code_out = err ? err : DEFAULT_ERROR_CODE;
    }
    child_exit(code_out);
}

pid_t do_in_child_quiet(const std::function<void()>& code) { return do_in_child(code, Flags{.quiet = true}); }

SigchldDefault::SigchldDefault() {
    ::sigaction(SIGCHLD, nullptr, &old_);
    if (old_.sa_handler == SIG_IGN) {
        struct sigaction sa {};
        sa.sa_handler = SIG_DFL;
        ::sigaction(SIGCHLD, &sa, nullptr);
        changed_ = true;
    }
}

void SigchldDefault::restore() {
    if (changed_) ::sigaction(SIGCHLD, &old_, nullptr);
    changed_ = false;
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace norvik::run
