// A thin watcher over the kernel's inotify interface.
//
//   norvik::foundation::Inotify w({"NONBLOCK"});
//   w.add(pid_file, {"MODIFY", "CLOSE_WRITE"});
//   ... select() on w.fileno() ...
//   for (auto& ev : w.poll()) if (ev.has("CLOSE_WRITE")) ...
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace norvik::foundation {

class Inotify {
public:
    static constexpr std::size_t POLL_SIZE = 65536;

    struct Event {
        int wd = 0;
        std::vector<std::string> flags;  // read-flag names set in the mask
        uint32_t cookie = 0;
        std::string name;  // file name inside a watched directory
        bool has(const std::string& flag) const;
    };

    // Creation flags: "CLOEXEC", "NONBLOCK" (the descriptor is always
    // close-on-exec). An unknown name raises before any system call.
    explicit Inotify(const std::vector<std::string>& flags = {});
    ~Inotify();
    Inotify(const Inotify&) = delete;
    Inotify& operator=(const Inotify&) = delete;

    // Add flags: the event names without "IN_" (MODIFY, CLOSE_WRITE, ...,
    // ALL_EVENTS, ONLYDIR, DONT_FOLLOW, EXCL_UNLINK, MASK_ADD, ONESHOT).
    int add(const std::string& path, const std::vector<std::string>& flags);
    void remove(int wd);
    // One read of up to POLL_SIZE bytes, decoded; empty when non-blocking
    // and nothing is pending.
    std::vector<Event> poll();
    int fileno() const { return fd_; }
    const std::map<int, std::string>& watches() const { return watches_; }

    // Decodes kernel event records (exposed for tests).
    static std::vector<Event> decode(const char* data, std::size_t size);

private:
    int fd_ = -1;
    std::map<int, std::string> watches_;
};

}  // namespace norvik::foundation
