// Where the database servers' programs are.
#pragma once

#include <string>

namespace norvik::dbutils {

// Path of the MySQL/MariaDB server program, "" when not installed.
std::string find_mysqld();
// Path of the PostgreSQL server program, "" when not installed.
std::string find_postmaster();

}  // namespace norvik::dbutils
