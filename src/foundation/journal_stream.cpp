#include "foundation/journal_stream.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace norvik::foundation {

namespace {
struct State {
    bool captured = false;
    pid_t pid = 0;
    std::optional<std::pair<unsigned long long, unsigned long long>> stream;
    std::optional<bool> fd_answer[3];
};

State& state() {
    // Cache for the run: whether stderr is the journal.
    static State s;
    return s;
}

void ensure_captured() {
    State& s = state();
    if (s.captured && s.pid == ::getpid()) return;
    s = State{};
    s.captured = true;
    s.pid = ::getpid();
    const char* v = std::getenv("JOURNAL_STREAM");
    if (!v) return;
    char* end = nullptr;
    unsigned long long dev = std::strtoull(v, &end, 10);
    if (!end || *end != ':' || end == v) return;
    const char* ino_text = end + 1;
    unsigned long long ino = std::strtoull(ino_text, &end, 10);
    if (!end || *end != '\0' || end == ino_text) return;
    s.stream = std::make_pair(dev, ino);
}
}  // namespace

void capture_journal() { ensure_captured(); }

void reset_journal() { state() = State{}; }

bool is_journal(int fd) {
    ensure_captured();
    State& s = state();
    if (!s.stream || fd < 0 || fd > 2) return false;
    auto& answer = s.fd_answer[fd];
    if (!answer) {
        struct stat st {};
        answer = ::fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == s.stream->first &&
                 static_cast<unsigned long long>(st.st_ino) == s.stream->second;
    }
    return *answer;
}

std::string journal_prefix(int fd, int priority) {
    if (!is_journal(fd)) return "";
    return "<" + std::to_string(priority) + ">";
}

int priority_of(const std::string& type) {
    if (type == "error" || type == "fail" || type == "panic" || type == "die" || type == "invalid")
        return PRIORITY_ERROR;
    if (type == "warn" || type == "warning" || type == "deprecated") return PRIORITY_WARNING;
    if (type == "debug") return PRIORITY_DEBUG;
    return PRIORITY_INFO;
}

std::string prefix_lines(int fd, int priority, const std::string& text, bool& at_line_start) {
    const std::string p = journal_prefix(fd, priority);
    if (p.empty()) {
        if (!text.empty()) at_line_start = text.back() == '\n';
        return text;
    }
    std::string out;
    for (char c : text) {
        if (at_line_start) out += p;
        out += c;
        at_line_start = c == '\n';
    }
    return out;
}

}  // namespace norvik::foundation
