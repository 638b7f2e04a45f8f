// Reads a unit's properties straight from systemd's private socket (the
// peer-to-peer bus systemctl itself uses as root), so that a state query
// costs a round trip instead of a systemctl process. Only reads go this way;
// jobs still go through systemctl. Whenever the socket cannot be used (not
// root, no socket below our root, a protocol error, a slow answer) the
// caller falls back to `systemctl show`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "systemd/unit_record.hpp"

namespace norvik::systemd {

// The named properties of the unit, as `systemctl show --property=...`
// prints them (numbers in decimal, booleans yes/no, lists joined by spaces);
// nothing when the bus could not answer.
std::optional<UnitRecord> show_over_bus(const std::string& unit, const std::vector<std::string>& properties);

// ---- exposed for tests ------------------------------------------------------
// The unit's object path: every byte outside [A-Za-z0-9] as _xx.
std::string bus_object_path(const std::string& unit);
// Decodes a GetAll reply body (signature a{sv}, little endian) into the
// named properties; nothing when the body is malformed.
std::optional<UnitRecord> decode_properties(const std::string& body, const std::vector<std::string>& properties);
// A little-endian method call with one string argument.
std::string encode_call(uint32_t serial, const std::string& path, const std::string& interface,
                        const std::string& member, const std::string& destination, const std::string& argument);

}  // namespace norvik::systemd
