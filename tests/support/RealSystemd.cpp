#include "RealSystemd.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "TestSupport.hpp"

namespace norvik::test {

namespace {

std::string kit_dir() {
    const char* e = std::getenv("NORVIK_REAL_SYSTEMD_DIR");
    return e ? e : "/work/shared/real-systemd";
}

std::string self_exe() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

bool inside_real_systemd() {
    const char* e = std::getenv("NORVIK_RS_INNER");
    return e && std::string(e) == "1";
}

RealSystemd::RealSystemd(std::string name) : name_(std::move(name)), dir_("/tmp/realsystemd/" + name_) {}

RealSystemd::~RealSystemd() { stop(); }

bool RealSystemd::start() {
    if (::geteuid() != 0) {
        why_ = "not running as root";
        return false;
    }
    const std::string script = kit_dir() + "/start.sh";
    if (::access(script.c_str(), X_OK) != 0) {
        why_ = script + " is missing";
        return false;
    }
    RunResult r = run(script, {script},
                      {{"RS_NAME", name_}, {"RS_BINDS", NORVIK_SOURCE_DIR}, {"RS_SELFTEST", "0"}}, 120);
    if (r.exit_code != 0) {
        why_ = "start.sh failed (" + std::to_string(r.status) + "): " + r.err.substr(r.err.size() > 600 ? r.err.size() - 600 : 0);
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
    return true;
}

void RealSystemd::stop() {
    if (!up_ && !exists(dir_)) return;
    const std::string script = kit_dir() + "/stop.sh";
    run(script, {script}, {{"RS_NAME", name_}}, 90);
    up_ = false;
}

void RealSystemd::add_units(const std::vector<std::pair<std::string, std::string>>& units) {
    for (const auto& [name, text] : units) write_file(root_ + "/etc/systemd/system/" + name, text);
    exec({"systemctl", "daemon-reload"});
}

std::string RealSystemd::exec(const std::vector<std::string>& cmd, int* status, double timeout) {
    std::vector<std::string> argv{exec_};
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    RunResult r = run(exec_, argv, {}, timeout);
    if (status) *status = r.status;
    return r.out;
}

int RealSystemd::run_inner(const std::string& gtest_filter, std::string* out) {
    RunResult r = run(exec_, {exec_, "env", "NORVIK_RS_INNER=1", self_exe(), "--gtest_filter=" + gtest_filter}, {}, 240);
    if (out) *out = r.out + r.err;
    return r.exit_code;
}

}  // namespace norvik::test
