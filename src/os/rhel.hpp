// The RPM family (AlmaLinux, Rocky Linux, CentOS, RHEL, CloudLinux): rpm and
// yum/dnf, /var/log/maillog, crond.
#pragma once

#include <string>

#include "os/linux_system.hpp"

namespace norvik::os {

class Rhel : public Linux {
public:
    // pretty: "AlmaLinux", "Rocky Linux"...
    Rhel(std::string name, std::string pretty);
};

}  // namespace norvik::os
