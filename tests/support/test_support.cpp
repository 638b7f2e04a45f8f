#include "support/test_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace norvik::test {

TempDir::TempDir(const std::string& tag) {
    std::string tmpl = "/tmp/norvik-" + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void make_dirs(const std::string& path, mode_t mode) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    ::chmod(path.c_str(), mode);
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path);
    f << content;
    f.close();
    ::chmod(path.c_str(), mode);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

RunResult run(const std::string& path, const std::vector<std::string>& argv,
              const std::map<std::string, std::string>& env, double timeout, const std::string& stdin_text) {
    int out[2], err[2], in[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(in, O_CLOEXEC)) throw std::runtime_error("pipe");
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        if (!env.count(kv.substr(0, kv.find('=')))) envs.push_back(kv);
    }
    for (auto& [k, v] : env) envs.push_back(k + "=" + v);
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto& e : envs) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(path.c_str(), cargv.data(), cenv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    if (!stdin_text.empty()) {
        ssize_t ignored = write(in[1], stdin_text.data(), stdin_text.size());
        (void)ignored;
    }
    close(in[1]);
    RunResult r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(timeout * 1000));
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    char buf[65536];
    bool killed = false;
    while (open_fds > 0) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) {
            if (!killed) kill(pid, SIGKILL);
            killed = true;
            left = 1000;
        }
        int n = poll(fds, 2, left);
        if (n < 0 && errno == EINTR) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
            }
        }
        if (killed && n == 0) break;
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    waitpid(pid, &r.status, 0);
    if (WIFEXITED(r.status)) r.exit_code = WEXITSTATUS(r.status);
    if (WIFSIGNALED(r.status)) r.signal = WTERMSIG(r.status);
    return r;
}

std::string binary() { return NORVIK_TEST_BINARY; }

std::string link_binary(const std::string& dir, const std::string& name) {
    std::string link = dir + "/" + name;
    std::filesystem::create_directories(dir);
    ::unlink(link.c_str());
    if (::symlink(binary().c_str(), link.c_str()) != 0) throw std::runtime_error("symlink " + link);
    return link;
}

std::string demod_path() {
    std::string b = binary();
    return b.substr(0, b.rfind('/')) + "/norvik_demod";
}

void write_demo_service(const std::string& root, const std::string& pidfile, const std::string& daemon_args,
                        bool with_init) {
    for (const char* d :
         {"/usr/local/norvik/logs", "/usr/local/norvik/etc/services", "/var/run", "/var/log", "/etc/init.d",
          "/etc/servmon.d", "/var/norvik/custom/services", "/var/norvik/restartsrv/locks"})
        make_dirs(root + d);
    if (with_init) {
        std::string script = read_file(std::string(NORVIK_SOURCE_DIR) + "/demo/nkdemo.init.in");
        auto sub = [&](const std::string& k, const std::string& v) {
            for (size_t p; (p = script.find(k)) != std::string::npos;) script.replace(p, k.size(), v);
        };
        sub("@DAEMON@", demod_path());
        sub("@PIDFILE@", pidfile);
        sub("@ARGS@", daemon_args);
        write_file(root + "/etc/init.d/nkdemo", script, 0755);
    }
    // Registered with the service monitor: that makes it "installed".
    write_file(root + "/etc/servmon.d/nkdemo", "");
}

std::vector<DemoEvent> read_demo_events(const std::string& path) {
    std::vector<DemoEvent> out;
    std::ifstream f(path);
    DemoEvent e;
    while (f >> e.what >> e.pid >> e.t) out.push_back(e);
    return out;
}

pid_t read_pid_file(const std::string& path) {
    std::ifstream f(path);
    long p = 0;
    f >> p;
    return static_cast<pid_t>(p);
}

bool running(pid_t pid) {
    if (pid <= 0) return false;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s;
    if (!std::getline(f, s)) return false;
    auto rp = s.rfind(')');
    return rp != std::string::npos && rp + 2 < s.size() && s[rp + 2] != 'Z';
}

void become_subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

void reap_zombies() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {}
}

std::vector<std::string> dir_entries(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (auto* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

bool set_mtime(const std::string& path, time_t when) {
    struct timespec ts[2] = {{when, 0}, {when, 0}};
    return utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
}

}  // namespace norvik::test
