// The service exceptions raised by the service object. Each kind of failure
// has its own type in the Norvik::Exception::Services:: family (the entry
// recognises the family by that prefix) and its own C++ class, so callers
// can catch one kind by type. Every one carries the parameter "service".
#pragma once

#include <string>

#include "exception/exception.hpp"

namespace norvik::services {

#define NORVIK_SERVICE_EXCEPTION(Cls)                                                          \
    class Cls : public ::norvik::Exception { /* NOLINT(bugprone-macro-parentheses) */          \
    public:                                                                                    \
        using ::norvik::Exception::Exception;                                                  \
        [[noreturn]] void raise() const override { throw *this; }                              \
        ::norvik::ExceptionPtr clone() const override { return std::make_shared<Cls>(*this); } \
                                                                                               \
    protected:                                                                                 \
        std::string message_from_params() const override;                                      \
    };

NORVIK_SERVICE_EXCEPTION(StartFailed)        // "Services::StartError"
NORVIK_SERVICE_EXCEPTION(RestartFailed)      // "Services::RestartError"
NORVIK_SERVICE_EXCEPTION(ReloadFailed)       // "Services::ReloadError"
NORVIK_SERVICE_EXCEPTION(StopFailed)         // "Services::StopError"
NORVIK_SERVICE_EXCEPTION(Down)               // "Services::Down"
NORVIK_SERVICE_EXCEPTION(Disabled)           // "Services::Disabled"
NORVIK_SERVICE_EXCEPTION(NotConfigured)      // "Services::NotConfigured" (+ "reason")
NORVIK_SERVICE_EXCEPTION(NotInstalled)       // "Services::NotInstalled" (+ "package")
NORVIK_SERVICE_EXCEPTION(BinaryNotFound)     // "Services::BinaryNotFound" (+ "binary", "error")
NORVIK_SERVICE_EXCEPTION(NotAllowedByRoles)  // "Services::NotAllowedByRoles"
NORVIK_SERVICE_EXCEPTION(Unknown)            // "Services::Unknown" (+ "longmess")
NORVIK_SERVICE_EXCEPTION(ConfigTestFailed)   // "Services::ConfigTestFailed" (+ "output")

#undef NORVIK_SERVICE_EXCEPTION

// Type names (after "Norvik::Exception::").
inline constexpr const char* START_ERROR = "Services::StartError";
inline constexpr const char* RESTART_ERROR = "Services::RestartError";
inline constexpr const char* RELOAD_ERROR = "Services::ReloadError";
inline constexpr const char* STOP_ERROR = "Services::StopError";
inline constexpr const char* DOWN = "Services::Down";
inline constexpr const char* DISABLED = "Services::Disabled";
inline constexpr const char* NOT_CONFIGURED = "Services::NotConfigured";
inline constexpr const char* NOT_INSTALLED = "Services::NotInstalled";
inline constexpr const char* BINARY_NOT_FOUND = "Services::BinaryNotFound";
inline constexpr const char* NOT_ALLOWED_BY_ROLES = "Services::NotAllowedByRoles";
inline constexpr const char* UNKNOWN = "Services::Unknown";
inline constexpr const char* CONFIG_TEST_FAILED = "Services::ConfigTestFailed";

// Registers the classes above with the exception factory (idempotent; the
// service object calls it before raising).
void register_service_exceptions();

}  // namespace norvik::services
