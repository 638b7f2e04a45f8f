#include "systemd/unit_facts.hpp"

#include "systemd/units.hpp"

namespace norvik::systemd {

namespace {
std::string field(const UnitRecord& r, const char* name) {
    auto it = r.find(name);
    return it == r.end() ? std::string() : it->second;
}
}  // namespace

std::optional<proc::UnitFacts> unit_facts(const std::string& service) {
    if (service.empty()) return std::nullopt;
    auto rec = has_service_via_systemd(service);
    if (!rec) return std::nullopt;
    proc::UnitFacts f;
    f.pid = get_pid_via_systemd(service, &*rec);
    f.type = field(*rec, "Type");
    f.active_state = field(*rec, "ActiveState");
    f.sub_state = field(*rec, "SubState");
    f.main_pid = field(*rec, "MainPID");
    f.fragment_path = field(*rec, "FragmentPath");
    f.pids = [service] { return get_pids_via_systemd(service); };
    return f;
}

}  // namespace norvik::systemd
