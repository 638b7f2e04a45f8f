// Helpers shared by the test programs.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace norvik::test {

// A temporary directory removed (recursively) on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "t");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// Writes a file, creating its parent directories; mode applied with chmod.
void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
void make_dirs(const std::string& path, mode_t mode = 0755);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> dir_entries(const std::string& dir);
// Sets both times of a file to `when` (whole seconds); false on failure.
bool set_mtime(const std::string& path, time_t when);

struct RunResult {
    int status = -1;     // raw wait status
    int exit_code = -1;  // -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

// Runs a program (no shell) with the given argv[0], arguments and extra
// environment, capturing both streams; gives up (KILL) after timeout seconds.
RunResult run(const std::string& path, const std::vector<std::string>& argv,
              const std::map<std::string, std::string>& env = {}, double timeout = 60.0,
              const std::string& stdin_text = "");

// The real binary, and a link to it named `name` inside dir.
std::string binary();
std::string link_binary(const std::string& dir, const std::string& name);

// The demo daemon, built beside the tool.
std::string demod_path();
// The demo service below `root`: the usual directories, its init script
// (the daemon gets `daemon_args` and writes its PID file at `pidfile`)
// unless with_init is false, and its registration with the service monitor.
void write_demo_service(const std::string& root, const std::string& pidfile, const std::string& daemon_args,
                        bool with_init = true);

// The demo daemon's records: one "<what> <pid> <time>" line per event.
struct DemoEvent {
    std::string what;
    long pid = 0;
    double t = 0;
};
std::vector<DemoEvent> read_demo_events(const std::string& path);
// The pid in a PID file (0 when missing or unreadable).
pid_t read_pid_file(const std::string& path);

// The process exists and is not a zombie (process 1 here may never reap an
// orphan, so a zombie is how an ended one often shows).
bool running(pid_t pid);

// Makes this process a child subreaper and reaps every finished child.
void become_subreaper();
void reap_zombies();

}  // namespace norvik::test
