#include "service_manager/ServiceManager_Deps.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "foundation/Paths.hpp"
#include "output/Output.hpp"
#include "run/SafeRun_Object.hpp"

namespace norvik::servicemanager::deps {

// SHIM (to be replaced by norvik::restartsrv::argv() of the entry).
std::vector<std::string>& process_argv() {
    static std::vector<std::string> argv;
    return argv;
}

// SHIM (to be replaced by norvik::restartsrv::parseargv()).
ParsedArgs parseargv() {
    ParsedArgs r;
    std::vector<std::string> rest;
    for (const auto& a : process_argv()) {
        if (a == "--status") r.status = true, r.restart = r.restart;
        else if (a == "--check") r.check = true;
        else if (a == "--verbose") r.verbose = 1;
        else if (a == "--debug") r.verbose = 2;
        else if (a == "--stop") r.restart = -1, r.check = false, r.status = false;
        else if (a == "--reload") r.restart = -2, r.check = false, r.status = false;
        else if (a == "--restart") r.restart = 1, r.check = false, r.status = false;
        else if (a.rfind("--restart-attempt=", 0) == 0) r.restart_attempts = a.substr(18);
        else if (a.rfind("--graceful=", 0) == 0) r.graceful = a.substr(11);
        else rest.push_back(a);
    }
    process_argv() = rest;
    if (r.status || r.check) r.restart = 0, r.graceful.reset(), r.restart_attempts.reset();
    return r;
}

// SHIM (to be replaced by norvik::restartsrv::setuppath()).
void setuppath() {}

// SHIM (to be replaced by norvik::restartsrv::get_formatted_output_object()).
std::shared_ptr<norvik::Output> formatted_output_object(const std::vector<std::string>&) {
    return std::make_shared<norvik::Output>();
}
std::shared_ptr<norvik::Output> default_output_object() { return std::make_shared<norvik::Output>(); }

// SHIM (to be replaced by norvik::restartsrv::systemd::has_service_via_systemd()).
std::optional<UnitRecord> has_service_via_systemd(const std::string&) { return std::nullopt; }

// SHIM (to be replaced by norvik::restartsrv::initd::has_service_via_initd()).
bool has_service_via_initd(const std::string& service) {
    std::string p = paths::init_d_dir() + "/" + service;
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
}

// SHIM (to be replaced by norvik::restartsrv::check_service()).
std::string check_service(const std::string&, const std::string&, const std::string&, bool, const std::string&) {
    return "";
}

// SHIM (to be replaced by norvik::restartsrv::doomedprocess()).
bool doomedprocess(const std::vector<std::string>&, bool) { return false; }

// SHIM (to be replaced by the back-end classes).
std::unique_ptr<Manager> make_initd_manager(const std::string&, bool) {
    throw PlainError("the init.d back end is not built yet");
}
std::unique_ptr<Manager> make_systemd_manager(const std::string&, const UnitRecord&) {
    throw PlainError("the systemd back end is not built yet");
}

int run_argv(const std::vector<std::string>& argv, std::string* out, std::string* err) {
    if (argv.empty()) return -1;
    saferun::Options o;
    o.program = argv[0];
    o.args.assign(argv.begin() + 1, argv.end());
    o.keep_env = true;
    o.timeout = 300;
    try {
        saferun::Object run(std::move(o));
        if (out) *out = run.stdout();
        if (err) *err = run.stderr();
        if (run.exec_failed()) return -1;
        return run.CHILD_ERROR();
    } catch (const std::exception& e) {
        if (err) *err = e.what();
        return -1;
    }
}

}  // namespace norvik::servicemanager::deps
