#include "service/deps.hpp"

#include "output/output.hpp"
#include "cli/driver.hpp"
#include "initd/scripts.hpp"
#include "systemd/units.hpp"
#include "run/saferun.hpp"
#include "backend/initd_backend.hpp"
#include "backend/systemd_backend.hpp"

namespace norvik::servicemanager::deps {

std::vector<std::string>& process_argv() { return restartsrv::argv(); }

void setuppath() { restartsrv::setuppath(); }

std::shared_ptr<norvik::Output> formatted_output_object(const std::vector<std::string>& argv) {
    return restartsrv::get_formatted_output_object(argv);
}
std::shared_ptr<norvik::Output> default_output_object() { return restartsrv::get_formatted_output_object({}); }

std::optional<UnitRecord> has_service_via_systemd(const std::string& unit) {
    return systemd::has_service_via_systemd(unit);
}
void forget_unit_records() { systemd::forget_service_info(); }

bool has_service_via_initd(const std::string& service) {
    return restartsrv::initd::has_service_via_initd(service) != 0;
}

std::string check_service(const std::string& service, const std::string& user, const std::string& pidfile,
                          bool ignore_systemd, const std::string& /*command_line_regex*/, const std::string& binary,
                          const std::string& pid_exe, const std::function<void(const std::string&)>& warn) {
    restartsrv::CheckServiceOptions o;
    o.binary = binary;
    o.pid_exe = pid_exe;
    o.warn = warn;
    o.service = service;
    o.user = user;
    o.pidfile = pidfile;
    o.ignore_systemd = ignore_systemd;
    return restartsrv::check_service(o);
}

bool doomedprocess(const std::vector<std::string>& rules, bool verbose) {
    if (rules.empty()) return false;
    return restartsrv::doomedprocess(psparser::ProcName(rules), verbose) != 0;
}

bool doomedprocess(const std::vector<std::string>& rules, bool verbose, const std::string& owner) {
    if (rules.empty()) return false;
    psparser::AllowedOwners owners = std::vector<std::string>{psparser::SUPERUSER_NAME};
    if (!owner.empty()) owners->push_back(owner);
    return restartsrv::doomedprocess(psparser::ProcName(rules), verbose, 0, owners) != 0;
}

void use_init_script_even_for_units(Manager& initd) {
    if (auto* m = dynamic_cast<manager::Initd*>(&initd)) m->script_even_for_units(true);
}

std::unique_ptr<Manager> make_initd_manager(const std::string& service, bool executed_by_systemd) {
    return std::make_unique<manager::Initd>(service, executed_by_systemd);
}
std::unique_ptr<Manager> make_systemd_manager(const std::string& unit, const UnitRecord& record) {
    return std::make_unique<manager::Systemd>(unit, record);
}

namespace {
double& run_argv_timeout() {
    static double s = RUN_ARGV_TIMEOUT;
    return s;
}
}  // namespace

void set_run_argv_timeout_for_testing(double seconds) { run_argv_timeout() = seconds; }

int run_argv(const std::vector<std::string>& argv, std::string* out, std::string* err) {
    if (argv.empty()) return -1;
    saferun::Options o;
    o.program = argv[0];
    o.args.assign(argv.begin() + 1, argv.end());
    o.keep_env = true;
    o.timeout = run_argv_timeout();
    try {
        saferun::Object run(std::move(o));
        if (out) *out = run.stdout();
        if (err) *err = run.stderr();
        if (run.exec_failed()) return -1;
        // Whatever the child's own status, a run that hit its limit failed.
        if (run.timed_out()) {
            if (auto e = run.to_exception(); e && err) *err += e->get_string();
            return TIMED_OUT;
        }
        return run.CHILD_ERROR();
    } catch (const std::exception& e) {
        if (err) *err = e.what();
        return -1;
    }
}

}  // namespace norvik::servicemanager::deps
