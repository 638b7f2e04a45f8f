// The server's product type and the DNS-only test.
#pragma once

#include <optional>
#include <string>

namespace norvik::server {

// Overrides (unset unless a caller or a test sets them).
void set_NODE_MODE(std::optional<std::string> profile);
void set_DNSONLY_MODE(std::optional<int> value);

// 1 when the DNS-only marker file exists (or DNSONLY_MODE says so), else 0.
// An existence test failing other than with ENOENT raises PlainError.
bool is_dnsonly();

// NODE_MODE when set; DNSONLY on a DNS-only server; otherwise the profile
// name written in the product-type file (a node profile), else STANDARD.
std::string get_producttype();

// Forgets the product type read from disk.
void reset_cache();

}  // namespace norvik::server
