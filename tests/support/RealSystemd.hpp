// A real systemd booted in private namespaces for the back-end tests (the
// kit under ../shared/real-systemd). Tests run their systemd-facing checks
// inside it by running this very test program through rs-exec.
#pragma once

#include <string>
#include <vector>

namespace norvik::test {

class RealSystemd {
public:
    explicit RealSystemd(std::string name);
    ~RealSystemd();
    RealSystemd(const RealSystemd&) = delete;
    RealSystemd& operator=(const RealSystemd&) = delete;

    // Boots the instance; false (with why()) when the machine cannot.
    bool start();
    void stop();
    bool up() const { return up_; }
    const std::string& why() const { return why_; }
    const std::string& root() const { return root_; }

    // Writes a unit file into the instance and reloads systemd.
    void add_units(const std::vector<std::pair<std::string, std::string>>& units);
    // Runs a command inside; returns its output, status in *status.
    std::string exec(const std::vector<std::string>& cmd, int* status = nullptr, double timeout = 120);
    // Runs this test program inside with NORVIK_RS_INNER=1 and the filter.
    // Returns its exit code; output in *out.
    int run_inner(const std::string& gtest_filter, std::string* out);

private:
    std::string name_, dir_, exec_, root_, why_;
    bool up_ = false;
};

// True inside the instance (the inner run).
bool inside_real_systemd();

}  // namespace norvik::test
