// A real systemd booted in private namespaces for the back-end tests (the
// kit in ../shared/real-systemd beside the source tree). Tests run their
// systemd-facing checks inside it by running this very test program through
// rs-exec.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace norvik::test {

class RealSystemd {
public:
    explicit RealSystemd(std::string name);
    ~RealSystemd();
    RealSystemd(const RealSystemd&) = delete;
    RealSystemd& operator=(const RealSystemd&) = delete;

    // Copy the programs into the instance instead of binding the source
    // tree (a tree under /tmp cannot be bound: the instance's boot cleans it).
    void copy_programs(bool v) { copy_ = v; }
    // Boots the instance; false (with why()) when the machine cannot.
    bool start();
    void stop();
    bool up() const { return up_; }
    const std::string& why() const { return why_; }
    const std::string& root() const { return root_; }

    // Copies a host file or folder into the instance at the same path.
    void copy_in(const std::string& path);
    // Writes a unit file into the instance and reloads systemd.
    void add_units(const std::vector<std::pair<std::string, std::string>>& units);
    // Runs a command inside; returns its standard output, the wait status in
    // *status and the standard error in *err.
    std::string exec(const std::vector<std::string>& cmd, int* status = nullptr, double timeout = 120,
                     std::string* err = nullptr);
    // Runs this test program inside with NORVIK_RS_INNER=1, the filter and
    // the extra environment. Returns its exit code; output in *out.
    int run_inner(const std::string& gtest_filter, std::string* out, const std::map<std::string, std::string>& env = {},
                  double timeout = 240);

private:
    std::string name_, dir_, exec_, root_, why_;
    bool up_ = false;
    bool copy_ = false;
};

// True inside the instance (the inner run).
bool inside_real_systemd();
// True when the caller knows the kit boots here (NORVIK_REQUIRE_REAL_SYSTEMD=1):
// a test that cannot boot it then fails instead of skipping.
bool real_systemd_required();
// The kit's folder: NORVIK_REAL_SYSTEMD_DIR, else ../shared/real-systemd
// beside the source tree.
std::string real_systemd_kit();
// This test program's own path.
std::string self_exe();
// Checks a finished inner run: exit 0, every named test passed, none skipped.
// Returns the failures as text ("" when it is all fine).
std::string inner_run_problems(int code, const std::string& out, const std::vector<std::string>& tests);

}  // namespace norvik::test

// Boots `rs` or leaves the test: skipped with the reason, or failed when the
// machine is known to boot the kit.
#define NORVIK_BOOT_REAL_SYSTEMD_OR_SKIP(rs)                                                                      \
    do {                                                                                                          \
        if (!(rs).start()) {                                                                                      \
            if (norvik::test::real_systemd_required()) FAIL() << "the real systemd did not boot: " << (rs).why(); \
            GTEST_SKIP() << "no real systemd on this machine: " << (rs).why();                                    \
        }                                                                                                         \
    } while (0)
