#pragma once

namespace norvik::services {

// The WebDAV service is wanted while a role that uses it (Web Disk or
// Calendars and Contacts) is enabled.
bool is_needed();

}  // namespace norvik::services
