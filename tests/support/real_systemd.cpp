#include "real_systemd.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "test_support.hpp"

namespace norvik::test {

namespace fs = std::filesystem;

std::string real_systemd_kit() {
    const char* e = std::getenv("NORVIK_REAL_SYSTEMD_DIR");
    if (e && *e) return e;
    return (fs::path(NORVIK_SOURCE_DIR) / ".." / "shared" / "real-systemd").lexically_normal().string();
}

std::string self_exe() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool inside_real_systemd() {
    const char* e = std::getenv("NORVIK_RS_INNER");
    return e && std::string(e) == "1";
}

bool real_systemd_required() {
    const char* e = std::getenv("NORVIK_REQUIRE_REAL_SYSTEMD");
    return e && std::string(e) == "1";
}

namespace {
// The folders the kit refuses to bind (its boot cleans or shadows them).
bool bindable(const std::string& dir) {
    std::error_code ec;
    std::string real = fs::canonical(dir, ec).string();
    if (ec || real == "/") return false;
    for (const char* p : {"/tmp", "/run", "/var/tmp", "/proc", "/sys", "/dev"}) {
        std::string pre = p;
        if (real == pre || real.rfind(pre + "/", 0) == 0) return false;
    }
    return true;
}

bool below(const std::string& path, const std::string& dir) { return path.rfind(dir + "/", 0) == 0; }
}  // namespace

RealSystemd::RealSystemd(std::string name) : name_(std::move(name)), dir_("/tmp/realsystemd/" + name_) {}

RealSystemd::~RealSystemd() { stop(); }

bool RealSystemd::start() {
    if (::geteuid() != 0) {
        why_ = "not running as root";
        return false;
    }
    const std::string script = real_systemd_kit() + "/start.sh";
    if (::access(script.c_str(), X_OK) != 0) {
        why_ = script + " is missing";
        return false;
    }
    const std::string src = NORVIK_SOURCE_DIR;
    const bool bind = !copy_ && bindable(src);
    // A blank list binds nothing (an empty one would mean the kit's default).
    RunResult r =
        run(script, {script}, {{"RS_NAME", name_}, {"RS_BINDS", bind ? src : " "}, {"RS_SELFTEST", "0"}}, 120);
    if (r.exit_code != 0) {
        why_ = "start.sh failed (" + std::to_string(r.status) +
               "): " + r.err.substr(r.err.size() > 600 ? r.err.size() - 600 : 0);
        stop();
        return false;
    }
    std::ifstream env(dir_ + "/env");
    std::string line;
    std::map<std::string, std::string> kv;
    while (std::getline(env, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    exec_ = kv["RS_EXEC"];
    root_ = kv["RS_ROOT"];
    if (exec_.empty() || root_.empty()) {
        why_ = "no env file from start.sh";
        stop();
        return false;
    }
    up_ = true;
    try {
        for (const auto& p : {self_exe(), binary(), demod_path()})
            if (!bind || !below(p, src)) copy_in(p);
    } catch (const std::exception& e) {
        why_ = std::string("cannot copy the programs into the instance: ") + e.what();
        stop();
        return false;
    }
    return true;
}

void RealSystemd::stop() {
    if (!up_ && !exists(dir_)) return;
    const std::string script = real_systemd_kit() + "/stop.sh";
    // In a test program that made itself a child subreaper, the instance's
    // unshare (orphaned when start.sh ended) is our child: unreaped, it stays
    // a zombie that stop.sh takes for a live instance and waits out. Reap it
    // as soon as it ends; waitpid refuses at once when it is not ours.
    {
        std::ifstream f(dir_ + "/unshare.pid");
        pid_t upid = 0;
        if (f >> upid && upid > 1)
            std::thread([upid] {
                int st;
                while (::waitpid(upid, &st, 0) < 0 && errno == EINTR) {}
            }).detach();
    }
    // The copy-on-write layer can still be busy while the instance's last
    // processes go away; its unmount then fails and the layer stays behind.
    for (int i = 0; i < 10; ++i) {
        run(script, {script}, {{"RS_NAME", name_}}, 90);
        if (!exists(dir_)) break;
        ::usleep(300000);
    }
    up_ = false;
}

void RealSystemd::copy_in(const std::string& path) {
    const fs::path to = root_ + path;
    fs::create_directories(to.parent_path());
    fs::copy(path, to,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks | fs::copy_options::overwrite_existing);
}

void RealSystemd::add_units(const std::vector<std::pair<std::string, std::string>>& units) {
    for (const auto& [name, text] : units) write_file(root_ + "/etc/systemd/system/" + name, text);
    exec({"systemctl", "daemon-reload"});
}

std::string RealSystemd::exec(const std::vector<std::string>& cmd, int* status, double timeout, std::string* err) {
    std::vector<std::string> argv{exec_};
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    RunResult r = run(exec_, argv, {}, timeout);
    if (status) *status = r.status;
    if (err) *err = r.err;
    return r.out;
}

int RealSystemd::run_inner(const std::string& gtest_filter, std::string* out,
                           const std::map<std::string, std::string>& env, double timeout) {
    std::vector<std::string> argv{exec_, "env", "NORVIK_RS_INNER=1"};
    for (const auto& [k, v] : env) argv.push_back(k + "=" + v);
    argv.push_back(self_exe());
    argv.push_back("--gtest_filter=" + gtest_filter);
    RunResult r = run(exec_, argv, {}, timeout);
    if (out) *out = r.out + r.err;
    return r.exit_code;
}

std::string inner_run_problems(int code, const std::string& out, const std::vector<std::string>& tests) {
    std::string bad;
    if (code != 0) bad += "inner run exited " + std::to_string(code) + "\n";
    if (out.find("[  SKIPPED ]") != std::string::npos) bad += "inner tests were skipped\n";
    for (const auto& t : tests)
        if (out.find("[       OK ] " + t) == std::string::npos) bad += "not passed: " + t + "\n";
    return bad;
}

}  // namespace norvik::test
