#include "service/hook_runner.hpp"

#include "run/saferun.hpp"

namespace norvik::service {

namespace {
double& run_argv_timeout() {
    // Test seam: shortens the hook time-out.
    static double s = RUN_ARGV_TIMEOUT;
    return s;
}
}  // namespace

void set_run_argv_timeout_for_testing(double seconds) { run_argv_timeout() = seconds; }

int run_argv(const std::vector<std::string>& argv, std::string* out, std::string* err) {
    if (argv.empty()) return -1;
    run::Options o;
    o.program = argv[0];
    o.args.assign(argv.begin() + 1, argv.end());
    o.keep_env = true;
    o.timeout = run_argv_timeout();
    try {
        run::Object run(std::move(o));
        if (out) *out = run.stdout();
        if (err) *err = run.stderr();
        if (run.exec_failed()) return -1;
        // Whatever the child's own status, a run that hit its limit failed.
        if (run.timed_out()) {
            if (auto e = run.to_exception(); e && err) *err += e->get_string();
            return TIMED_OUT;
        }
        return run.wait_status();
    } catch (const std::exception& e) {
        if (err) *err = e.what();
        return -1;
    }
}

}  // namespace norvik::service
