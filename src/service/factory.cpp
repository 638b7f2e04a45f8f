#include "service/factory.hpp"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <regex>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "foundation/service_name.hpp"
#include "foundation/text.hpp"
#include "log/logger.hpp"
#include "service/lock.hpp"
#include "server/role_names.hpp"
#include "service/definition.hpp"
#include "initd/scripts.hpp"
#include "systemd/units.hpp"
#include "service/hot.hpp"
#include "services/exceptions.hpp"

namespace norvik::service {

std::string class_suffix_for_service(const std::string& service) {
    // Whole name to lower case, then the first character up, then every
    // character that cannot stand in a class name becomes "_".
    std::string s = foundation::lower(service);
    if (!s.empty()) s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    for (auto& c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) c = '_';
    return s;
}

namespace {

bool is_valid_module_name(const std::string& name) {
    static const std::regex re(R"(^[A-Za-z_]\w*(?:(?:'|::)\w+)*$)");
    return std::regex_match(name, re);
}

void validate_node_name(const std::string& service) {
    // Stricter than a file-system node name: the name becomes part of lock,
    // suspension and init-script paths.
    if (service.empty() || service == "." || service == ".." || service.size() > 255 ||
        service.find('/') != std::string::npos || service.find('\0') != std::string::npos ||
        !foundation::is_valid_service_name(service))
        exception::raise("InvalidParameter", "The service name \"[_1]\" is not valid.", {service});
}

template <class T>
std::unique_ptr<Base> build(const nlohmann::json& opts, std::shared_ptr<const Definition> def, const Request& request) {
    auto obj = std::make_unique<T>(opts);
    obj->request(request);
    if (def) obj->set_definition(std::move(def));
    obj->prepare();
    return obj;
}

}  // namespace

std::unique_ptr<Base> create(const std::string& service_in, const Request& request) {
    if (service_in.empty()) throw PlainError("No service was given.\n" + exception::stack_trace());
    std::string service = server::canonical_service(service_in);
    // Definitions are found whatever the case of the name (so is the lock):
    // a case variant that reaches one is that service, under its own name
    // everywhere (disable files, suspension, roles, messages).
    std::string folded = server::canonical_service(foundation::lower(service_in));
    if (folded != service) {
        bool defined = false;
        try {
            defined = Definition::find(class_suffix_for_service(folded)).has_value();
        } catch (const PlainError&) {
            defined = true;  // the load below says why it is not used
        }
        if (defined) service = folded;
    }
    nlohmann::json opts = nlohmann::json::object();
    opts["service"] = service;

    std::string suffix = class_suffix_for_service(service);
    std::string class_name = "Norvik::ServiceManager::Services::" + suffix;
    std::optional<std::string> load_error;
    if (is_valid_module_name(class_name) && suffix.size() <= 200) {
        try {
            if (auto def = Definition::find(suffix)) {
                nlohmann::json merged = def->attributes;  // the definition's defaults...
                for (auto it = opts.begin(); it != opts.end(); ++it)
                    merged[it.key()] = it.value();  // ...the caller wins
                auto shared = std::make_shared<const Definition>(std::move(*def));
                if (shared->base == "Hot") return build<Hot>(merged, shared, request);
                return build<Base>(merged, shared, request);
            }
        } catch (const service::LockError&) {
            throw;  // the lock's own error, once: no fallback object, no second wait
        } catch (const PlainError& e) {
            load_error = e.text();
            std::fprintf(stderr, "warning: %s\n", e.text().c_str());
            try {
                norvik::logger().warn(e.text());
            } catch (const std::exception&) {
                // Said on standard error already: a log that cannot be written adds nothing.
            }
        }
    }

    validate_node_name(service);

    // systemd is asked under the system's unit name (crond is cron.service
    // on Debian), as the back end will be.
    if (initd::has_service_via_initd(service) || systemd::has_service_via_systemd(_get_systemd_name(service))) {
        opts["_from_factory"] = 1;
        return build<Base>(opts, nullptr, request);
    }

    struct stat st;
    if (!load_error || ::stat(foundation::strict_definitions_marker().c_str(), &st) != 0) {
        services::register_service_exceptions();
        nlohmann::json params{{"service", service}};
        exception::raise(services::UNKNOWN, params);
    }
    throw PlainError(*load_error);
}

}  // namespace norvik::service
