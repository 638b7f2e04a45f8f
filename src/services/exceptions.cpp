#include "services/exceptions.hpp"

#include <mutex>

namespace norvik::services {

namespace {
std::string svc(const Exception& e) {
    std::string s = e.get_text("service");
    return s.empty() ? "(unnamed)" : s;
}
}  // namespace

std::string StartFailed::message_from_params() const { return "The service \"" + svc(*this) + "\" failed to start."; }
std::string RestartFailed::message_from_params() const {
    return "The service \"" + svc(*this) + "\" failed to restart.";
}
std::string ReloadFailed::message_from_params() const { return "The service \"" + svc(*this) + "\" failed to reload."; }
std::string StopFailed::message_from_params() const {
    return "The service \"" + svc(*this) + "\" is still running after the stop.";
}
std::string Down::message_from_params() const { return "The service \"" + svc(*this) + "\" is down."; }
std::string Disabled::message_from_params() const { return "The service \"" + svc(*this) + "\" is disabled."; }
std::string NotConfigured::message_from_params() const {
    std::string reason = get_text("reason");
    std::string text = "The service \"" + svc(*this) + "\" is not configured.";
    if (!reason.empty()) text += " " + reason;
    return text;
}
std::string NotInstalled::message_from_params() const {
    std::string pkg = get_text("package");
    std::string text = "The service \"" + svc(*this) + "\" is not installed.";
    if (!pkg.empty()) text += " The package \"" + pkg + "\" is missing.";
    return text;
}
std::string BinaryNotFound::message_from_params() const {
    std::string text =
        "The service \"" + svc(*this) + "\" cannot run: the program \"" + get_text("binary") + "\" is not executable";
    std::string err = get_text("error");
    if (!err.empty()) text += " (" + err + ")";
    return text + ".";
}
std::string NotAllowedByRoles::message_from_params() const {
    return "The service \"" + svc(*this) + "\" is not allowed by the roles of this server.";
}
std::string Unknown::message_from_params() const {
    std::string text = "The service \"" + svc(*this) + "\" is unknown: neither systemd nor an init script knows it.";
    std::string lm = get_text("longmess");
    if (!lm.empty()) text += "\n" + lm;
    return text;
}
std::string ConfigTestFailed::message_from_params() const {
    std::string text =
        "The configuration test of the service \"" + svc(*this) + "\" failed; the running service was left untouched.";
    std::string out = get_text("output");
    if (!out.empty()) text += "\n" + out;
    return text;
}

void register_service_exceptions() {
    // The exception classes are registered once.
    static std::once_flag once;
    std::call_once(once, [] {
        exception::register_class<StartFailed>(START_ERROR);
        exception::register_class<RestartFailed>(RESTART_ERROR);
        exception::register_class<ReloadFailed>(RELOAD_ERROR);
        exception::register_class<StopFailed>(STOP_ERROR);
        exception::register_class<Down>(DOWN);
        exception::register_class<Disabled>(DISABLED);
        exception::register_class<NotConfigured>(NOT_CONFIGURED);
        exception::register_class<NotInstalled>(NOT_INSTALLED);
        exception::register_class<BinaryNotFound>(BINARY_NOT_FOUND);
        exception::register_class<NotAllowedByRoles>(NOT_ALLOWED_BY_ROLES);
        exception::register_class<Unknown>(UNKNOWN);
        exception::register_class<ConfigTestFailed>(CONFIG_TEST_FAILED);
    });
}

}  // namespace norvik::services
