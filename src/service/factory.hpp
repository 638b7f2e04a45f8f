// The factory: turns a service name into a service object.
//
// Looks for a service definition <Suffix>.json (the class-name suffix derived
// from the service name) in the custom services directory, then in the
// built-in one; a service without a definition gets a plain Base when systemd
// or an init script knows it, else the unknown-service exception
// (Norvik::Exception::Services::Unknown). The returned object has been prepared:
// the restart lock is held.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "service/service.hpp"

namespace norvik::service {

// The service object for this run's request; a unit-name alias ("apache2")
// gives the panel's service ("httpd").
std::unique_ptr<Base> create(const std::string& service, const Request& request = {});

// The class-name suffix of a service name ("exim" -> "Exim", "nk-davd" ->
// "Nk_davd"); the definition file is <suffix>.json.
std::string class_suffix_for_service(const std::string& service);

}  // namespace norvik::service
