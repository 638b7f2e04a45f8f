// The database client configuration reader ([client] host of an INI file).
// The host found is always a piece of the file.
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "config/mycnf.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::sandbox();
    std::string text(reinterpret_cast<const char*>(data), size);
    fuzzsupport::put(norvik::foundation::mysql_client_config(), text);
    namespace config = norvik::config;
    std::string host = config::client_host();
    if (!host.empty() && text.find(host) == std::string::npos) std::abort();
    (void)config::is_remote_mysql();
    return 0;
}
