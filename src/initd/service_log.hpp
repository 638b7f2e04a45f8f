// Reading what a service said: its startup log (or systemd's status view of
// the unit) and a few recent, filtered lines of its log files, read from
// the end only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace norvik::initd {

std::string STARTUP_LOG_DIR();  // startup logs
std::string LOG_DIR();          // base of relative log names
inline constexpr std::size_t LOG_READ_BYTES = 8192;
inline constexpr std::size_t MAX_LOG_MESSAGES = 5;
// A startup log is shown by its tail only: at most this many of its last
// bytes are read, and of those the last lines.
inline constexpr std::size_t STARTUP_LOG_SHOW_BYTES = 64 * 1024;
inline constexpr std::size_t STARTUP_LOG_SHOW_LINES = 200;

// The file name of a service's startup log below STARTUP_LOG_DIR().
std::string get_service_name_from_legacy_name(const std::string& service);

// (ok, text) or (false, reason).
using Result = std::pair<bool, std::string>;

// The tail of the startup log (the journal lines of a systemd unit): the
// last STARTUP_LOG_SHOW_LINES lines, after a note of what was left out.
// `after_failure`: a failed run shows the unit's last journal lines of this
// boot, read after the journal has taken in what its processes wrote, so the
// daemon's last words are there.
Result fetch_service_startup_log(const std::string& service, bool service_via_systemd = false,
                                 bool after_failure = false);
Result fetch_service_log_messages(const std::string& services_to_match, const std::string& command = "");
Result fetch_log_tail(const std::string& logfile, std::size_t max_messages = MAX_LOG_MESSAGES);
// The default log names (two fixed ones and the mail log's).
const std::vector<std::string>& logs_to_check();

struct ReadError {
    std::string op;
    std::string file;
    std::string path;
    std::string error;
};
struct ReadLogOptions {
    std::string path;
    std::string file;  // default: path
    std::size_t read_bytes = LOG_READ_BYTES;
    std::size_t max_messages = MAX_LOG_MESSAGES;
    std::optional<std::string> log_regex;  // ECMAScript pattern; default: any character
};
// (1 or 0 logs read, errors); matching lines are added to messages, newest first.
std::pair<int, std::vector<ReadError>> _read_log(std::string& messages, const ReadLogOptions& opts);

// The cleaning of one service's long startup log.
std::string _decruft_log_for_service(const std::string& service, std::string text);

}  // namespace norvik::initd
