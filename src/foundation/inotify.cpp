#include "foundation/inotify.hpp"

#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "exception/exception.hpp"
#include "foundation/io_error.hpp"

namespace norvik::foundation {
namespace {

using FlagTable = std::vector<std::pair<std::string, uint32_t>>;

const FlagTable& event_flags() {
    static const FlagTable t = {
        {"ACCESS", 1},
        {"MODIFY", 2},
        {"ATTRIB", 4},
        {"CLOSE_WRITE", 8},
        {"CLOSE_NOWRITE", 16},
        {"OPEN", 32},
        {"MOVED_FROM", 64},
        {"MOVED_TO", 128},
        {"CREATE", 256},
        {"DELETE", 512},
        {"DELETE_SELF", 1024},
        {"MOVE_SELF", 2048},
        {"UNMOUNT", 8192},
        {"Q_OVERFLOW", 16384},
        {"IGNORED", 32768},
        {"ONLYDIR", 16777216},
        {"DONT_FOLLOW", 33554432},
        {"EXCL_UNLINK", 67108864},
        {"MASK_ADD", 536870912},
        {"ISDIR", 1073741824},
        {"ONESHOT", 2147483648u},
    };
    return t;
}

const FlagTable& add_flags() {
    static const FlagTable t = [] {
        FlagTable a = event_flags();
        a.emplace_back("ALL_EVENTS", IN_ALL_EVENTS);
        a.emplace_back("CLOSE", IN_CLOSE);
        a.emplace_back("MOVE", IN_MOVE);
        return a;
    }();
    return t;
}

const FlagTable& read_flags() {
    static const FlagTable t = [] {
        FlagTable r = event_flags();
        r.emplace_back("CLOSE", IN_CLOSE);
        r.emplace_back("MOVE", IN_MOVE);
        return r;
    }();
    return t;
}

const FlagTable& init_flags() {
    static const FlagTable t = {{"CLOEXEC", IN_CLOEXEC}, {"NONBLOCK", IN_NONBLOCK}};
    return t;
}

uint32_t combine(const FlagTable& table, const std::vector<std::string>& names, const char* what) {
    uint32_t bits = 0;
    for (const auto& n : names) {
        auto it = std::find_if(table.begin(), table.end(), [&](const auto& p) { return p.first == n; });
        if (it == table.end())
            exception::raise_raw("Inotify::InvalidFlag", std::string("Unknown inotify ") + what + " flag “" + n + "”.");
        bits |= it->second;
    }
    return bits;
}

}  // namespace

bool Inotify::Event::has(const std::string& flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

Inotify::Inotify(const std::vector<std::string>& flags) {
    uint32_t bits = combine(init_flags(), flags, "creation") | IN_CLOEXEC;
    long fd = ::syscall(SYS_inotify_init1, static_cast<int>(bits));
    if (fd < 0) {
        int err = errno;
        foundation::raise_io_error("Inotify::SystemError", "The system failed to create an inotify watcher: [_1]",
                                   {foundation::error_text(err)}, nlohmann::json::object(), err);
    }
    fd_ = static_cast<int>(fd);
}

Inotify::~Inotify() {
    if (fd_ >= 0) ::close(fd_);
}

int Inotify::add(const std::string& path, const std::vector<std::string>& flags) {
    uint32_t bits = combine(add_flags(), flags, "watch");
    long wd = ::syscall(SYS_inotify_add_watch, fd_, path.c_str(), bits);
    if (wd < 1) {
        int err = errno;
        foundation::raise_io_error("Inotify::SystemError", "The system failed to watch “[_1]” (answer [_2]): [_3]",
                                   {path, std::to_string(wd), foundation::error_text(err)}, {{"path", path}}, err);
    }
    watches_[static_cast<int>(wd)] = path;
    return static_cast<int>(wd);
}

void Inotify::remove(int wd) {
    if (::syscall(SYS_inotify_rm_watch, fd_, wd) != 0) {
        int err = errno;
        foundation::raise_io_error("Inotify::SystemError", "The system failed to remove the watch [_1]: [_2]",
                                   {std::to_string(wd), foundation::error_text(err)}, nlohmann::json::object(), err);
    }
    watches_.erase(wd);
}

std::vector<Inotify::Event> Inotify::decode(const char* data, std::size_t size) {
    // Kernel layout: int32 wd, uint32 mask, uint32 cookie, uint32 len, name[len].
    constexpr std::size_t header = 16;
    std::vector<Event> events;
    std::size_t off = 0;
    while (off + header <= size) {
        int32_t wd;
        uint32_t mask, cookie, len;
        std::memcpy(&wd, data + off, 4);
        std::memcpy(&mask, data + off + 4, 4);
        std::memcpy(&cookie, data + off + 8, 4);
        std::memcpy(&len, data + off + 12, 4);
        off += header;
        std::size_t take = std::min<std::size_t>(len, size - off);
        std::string name(data + off, take);
        off += take;
        while (!name.empty() && name.back() == '\0') name.pop_back();
        Event ev;
        ev.wd = wd;
        ev.cookie = cookie;
        ev.name = std::move(name);
        for (const auto& [n, bit] : read_flags())
            if (mask & bit) ev.flags.push_back(n);
        events.push_back(std::move(ev));
    }
    return events;
}

std::vector<Inotify::Event> Inotify::poll() {
    alignas(struct inotify_event) static char buffer[POLL_SIZE];
    ssize_t n;
    do {
        n = ::read(fd_, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN) return {};
        int err = errno;
        foundation::raise_io_error("Inotify::SystemError", "The system failed to read inotify events: [_1]",
                                   {foundation::error_text(err)}, nlohmann::json::object(), err);
    }
    return decode(buffer, static_cast<std::size_t>(n));
}

}  // namespace norvik::foundation
