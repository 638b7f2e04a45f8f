// Debian and Ubuntu: apt and dpkg, /var/log/mail.log, cron, nogroup.
#pragma once

#include "os/linux_system.hpp"

namespace norvik::os {

class Debian : public Linux {
public:
    explicit Debian(std::string name);
};

class Ubuntu : public Debian {
public:
    explicit Ubuntu(std::string name);
};

}  // namespace norvik::os
