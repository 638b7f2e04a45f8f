#include "server/server_type.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "exception/exception.hpp"
#include "foundation/load_file.hpp"
#include "foundation/paths.hpp"
#include "server/profile_constants.hpp"

namespace norvik::server {
namespace {

std::optional<std::string>& node_mode() {
    // Test seam: forces the node profile instead of reading it.
    static std::optional<std::string> v;
    return v;
}
std::optional<int>& dnsonly_mode() {
    // Test seam: forces the DNS-only answer instead of the marker file.
    static std::optional<int> v;
    return v;
}
std::optional<std::string>& file_type() {
    // Cache for the run: the product type file is read once.
    static std::optional<std::string> v;
    return v;
}

}  // namespace

void set_NODE_MODE(std::optional<std::string> profile) { node_mode() = std::move(profile); }
void set_DNSONLY_MODE(std::optional<int> value) { dnsonly_mode() = value; }
void reset_cache() { file_type().reset(); }

bool is_dnsonly() {
    if (dnsonly_mode()) return *dnsonly_mode() != 0;
    const std::string marker = foundation::dnsonly_marker();
    struct stat st {};
    if (::stat(marker.c_str(), &st) == 0) return true;
    if (errno == ENOENT) return false;
    throw PlainError("The system failed to check for “" + marker + "”: " + std::strerror(errno));
}

std::string get_producttype() {
    if (node_mode()) return *node_mode();
    if (is_dnsonly()) return server::DNSONLY;
    if (!file_type()) {
        std::string t = server::STANDARD;
        if (auto text = foundation::loadfile(foundation::product_type_file())) {
            std::string w = *text;
            while (!w.empty() && (w.back() == '\n' || w.back() == ' ' || w.back() == '\r' || w.back() == '\t'))
                w.pop_back();
            // Only a node profile may come from the file.
            if (w == server::DNSNODE || w == server::MAILNODE || w == server::DATABASENODE) t = w;
        }
        file_type() = t;
    }
    return *file_type();
}

}  // namespace norvik::server
