// Where the database servers' programs are.
#pragma once

#include <string>

namespace norvik::services {

// Path of the MySQL/MariaDB server program, "" when not installed.
std::string find_mysqld();
// Path of the PostgreSQL server program, "" when not installed.
std::string find_postmaster();

}  // namespace norvik::services
