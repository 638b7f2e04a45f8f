// Text from outside the tool (service logs, the journal, a process's command
// line) may carry terminal control sequences: any local user can write a
// syslog line or name a process. Before such text reaches a person it is
// made inert here.
#pragma once

#include <string>
#include <string_view>

namespace norvik::output {

// Every control character (C0 but the tab, DEL, and C1 whether as UTF-8 or
// as a lone byte) and every byte that is not part of valid UTF-8 becomes its
// visible form "\xNN". Line ends are kept only with keep_newlines. Other text,
// valid UTF-8 included, is unchanged.
std::string replace_control_characters(std::string_view text, bool keep_newlines = false);

}  // namespace norvik::output
