// Opening with exact permission bits, and flags given by name.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace norvik::foundation {
// "O_WRONLY|O_CREAT|O_APPEND" (or without the O_ prefix) -> numeric flags.
// An unknown name raises a PlainError naming it.
int or_flags(const std::string& names);

// A mode text starting with this marker is a "|"-joined list of flag names.
inline constexpr char FLAG_NAME_MARKER = '&';

// Opens `path`; returns the descriptor or -1 with errno set (like open(2)).
// O_CLOEXEC is always added. Without perms, a new file gets 0666 & ~umask;
// with perms (limited to 0777) a new file gets exactly perms, the umask being
// changed for the open only.
int sysopen_with_real_perms(const std::string& path, int flags, std::optional<mode_t> perms = std::nullopt);
// `mode` is either "&O_WRONLY|O_CREAT" style or a decimal number of flags.
int sysopen_with_real_perms(const std::string& path, const std::string& mode,
                            std::optional<mode_t> perms = std::nullopt);

}  // namespace norvik::foundation
