// The installed PHP-FPM versions: directories <phpfpm_base_dir>/<version>
// holding an executable sbin/php-fpm, <version> being digits ("81", "82").
#pragma once

#include <string>
#include <vector>

namespace norvik::services {

std::vector<std::string> get_phpfpm_versions();

}  // namespace norvik::services
