#include "run/saferun_simple.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "exception/exception.hpp"
#include "run/saferun.hpp"
#include "foundation/child_status.hpp"
#include "log/debug.hpp"
#include "run/reduced_privileges.hpp"
#include "run/errno_names.hpp"
#include "run/fork_async.hpp"
#include "run/read_multiple.hpp"

extern char** environ;

namespace norvik::run {
namespace {

// Variables a shell would act on; never handed to commands.
constexpr const char* REMOVED_VARS[] = {"IFS", "ENV", "BASH_ENV", "CDPATH"};
// A one-string command with any of these would need a shell.
constexpr const char* SHELL_CHARS = "<>&|;$`'\"\\*?(){}[]~!#\n";

bool removed_var(const char* kv) {
    for (const char* name : REMOVED_VARS) {
        size_t n = std::strlen(name);
        if (std::strncmp(kv, name, n) == 0 && kv[n] == '=') return true;
    }
    return false;
}

std::vector<std::string> split_blanks(const std::string& s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        size_t start = i;
        while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i > start) out.push_back(s.substr(start, i - start));
    }
    return out;
}

std::optional<std::string> fail_minus_one() {
    set_child_status(-1);
    return std::nullopt;
}

// A program given by path must be there and executable. A path that does
// not exist as given is checked up to its first blank or shell character.
bool is_executable(const std::string& program) {
    std::string checked = program;
    struct stat st;
    if (::stat(program.c_str(), &st) != 0) {
        size_t cut = program.find_first_of(" \t\n\r\f\v<>&|;");
        if (cut != std::string::npos) checked = program.substr(0, cut);
    }
    return ::access(checked.c_str(), X_OK) == 0;
}

// This program's environment without what a shell would act on.
std::vector<char*> command_env() {
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
        if (!removed_var(*e)) envp.push_back(*e);
    envp.push_back(nullptr);
    return envp;
}

// The null device for writing; raises (closing the pipe `p`) when it cannot
// be opened.
int open_null(const int p[2]) {
    int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        int err = errno;
        ::close(p[0]);
        ::close(p[1]);
        exception::raise("IO::FileOpenError", "The system failed to open “[_1]” because of an error: [_2]",
                         {"/dev/null", run::strerror_text(err)});
    }
    return null_fd;
}

// Reads to the end (the child must not block on a full pipe), but keeps no
// more than the runner's capture limit.
std::string read_capped(int fd) {
    std::string out;
    size_t dropped = 0;
    char buf[65536];
    for (;;) {
        ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        size_t keep = std::min(static_cast<size_t>(got), ReadMultipleFH::CAPTURE_LIMIT - out.size());
        out.append(buf, keep);
        dropped += static_cast<size_t>(got) - keep;
    }
    if (dropped) out += ReadMultipleFH::dropped_marker(dropped);
    return out;
}

}  // namespace

std::optional<std::string> _saferun_r(const std::vector<std::string>& command_in, int flag) {
    if (run::PRIVS_REDUCED())
        throw PlainError("The simple runner cannot be used while privileges are reduced.\n" +
                         exception::stack_trace(2));
    std::vector<std::string> command = command_in;
    if (command.size() == 1) {
        if (command[0].find_first_of(SHELL_CHARS) != std::string::npos)
            throw PlainError("The command “" + command[0] + "” would need a shell, which is never used.\n" +
                             exception::stack_trace(2));
        command = split_blanks(command[0]);
    }
    if (command.empty() || command[0].empty()) return fail_minus_one();
    const std::string& program = command[0];
    if (program[0] == '/' && !is_executable(program)) return fail_minus_one();

    std::vector<char*> envp = command_env();
    std::vector<char*> argv;
    for (auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        log::log_warn("The system failed to create a pipe: " + run::strerror_text(errno));
        return fail_minus_one();
    }
    const int null_fd = (flag == NULL_STDERR || flag == NULL_STDOUT) ? open_null(p) : -1;

    // The child's standard output and error, by flag.
    int child_out = p[1], child_err = -1;
    if (flag == MERGE_STDERR) child_err = p[1];
    else if (flag == NULL_STDERR) child_err = null_fd;
    else if (flag == NULL_STDOUT) child_out = null_fd, child_err = p[1];

    run::SigchldDefault chld;
    pid_t pid = 0;
    int rc = run::spawn_child(pid, program, true, {{child_out, 1}, {child_err, 2}}, argv.data(), envp.data());
    ::close(p[1]);
    if (null_fd >= 0) ::close(null_fd);
    if (rc != 0) {
        ::close(p[0]);
        chld.restore();
        return fail_minus_one();
    }
    std::string out = read_capped(p[0]);
    ::close(p[0]);
    int status = run::reap(pid);
    chld.restore();
    set_child_status(status);
    return out;
}

std::optional<std::string> saferun(const std::vector<std::string>& c) { return _saferun_r(c, KEEP_STDERR); }
std::optional<std::string> saferunallerrors(const std::vector<std::string>& c) { return _saferun_r(c, MERGE_STDERR); }
std::optional<std::string> saferunnoerror(const std::vector<std::string>& c) { return _saferun_r(c, NULL_STDERR); }
std::optional<std::string> saferunonlyerrors(const std::vector<std::string>& c) { return _saferun_r(c, NULL_STDOUT); }
std::optional<std::string> saferun_r(const std::vector<std::string>& c) { return _saferun_r(c, KEEP_STDERR); }

}  // namespace norvik::run
