#include "systemd/systemctl.hpp"

#include <exception>

#include "foundation/paths.hpp"
#include "run/saferun.hpp"

namespace norvik::systemd {

namespace {

class RealSystemctl : public Systemctl {
public:
    SystemctlResult run(const SystemctlCall& call) override {
        SystemctlResult r;
        run::Options o;
        o.program = foundation::systemctl();
        o.args = call.args;
        o.keep_env = true;
        o.extra_env = systemctl_env();
        o.merge_stderr = call.merge_stderr;
        o.timeout = call.timeout;
        try {
            run::Object run(std::move(o));
            r.status = run.wait_status();
            r.timed_out = run.timed_out().has_value();
            r.exec_failed = run.exec_failed();
            r.autopsy = run.autopsy().value_or("");
            if (const std::string* out = run.stdout_r()) r.output = *out;
        } catch (const std::exception& e) {
            r.status = NOT_RUNNABLE_STATUS;
            r.exec_failed = true;
            r.autopsy = e.what();
        }
        return r;
    }
};

// Test seam: the systemctl runner tests install.
Systemctl* installed = nullptr;

}  // namespace

const std::map<std::string, std::string>& systemctl_env() {
    static const std::map<std::string, std::string> env = {
        {"LANG", "C"}, {"TZ", "UTC"}, {"SYSTEMD_PAGER", ""}, {"SYSTEMD_COLORS", "0"}};
    return env;
}

Systemctl& systemctl() {
    // The real runner, built once.
    static RealSystemctl real;
    return installed ? *installed : real;
}

void set_systemctl(Systemctl* runner) { installed = runner; }

}  // namespace norvik::systemd
