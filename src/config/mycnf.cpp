#include "config/mycnf.hpp"

#include <algorithm>
#include <cctype>

#include "foundation/load_file.hpp"
#include "foundation/paths.hpp"

namespace norvik::config {
namespace {

std::string trim(std::string s) {
    auto sp = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!s.empty() && sp(s.back())) s.pop_back();
    size_t b = 0;
    while (b < s.size() && sp(s[b])) ++b;
    s.erase(0, b);
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
        s = s.substr(1, s.size() - 2);
    return s;
}

}  // namespace

std::string client_host() {
    auto text = foundation::loadfile(foundation::mysql_client_config());
    if (!text) return "";
    std::string section, host;
    for (const auto& raw : foundation::split_lines(*text)) {
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = trim(line.substr(1, line.size() - 2));
            continue;
        }
        if (section != "client") continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        if (trim(line.substr(0, eq)) == "host") host = trim(line.substr(eq + 1));
    }
    return host;
}

bool is_remote_mysql() {
    std::string host = client_host();
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    if (host.empty()) return false;
    return !(host == "localhost" || host == "localhost.localdomain" || host == "127.0.0.1" || host == "::1" ||
             host.rfind("127.", 0) == 0);
}

}  // namespace norvik::config
