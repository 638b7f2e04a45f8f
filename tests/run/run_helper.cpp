#include "run_helper.hpp"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace norvik::test::helper {
namespace {

void write_all(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = ::write(fd, s.data() + off, s.size() - off);
        if (w <= 0) _exit(90);
        off += static_cast<size_t>(w);
    }
}

std::string read_all_stdin() {
    std::string in;
    char buf[65536];
    ssize_t got;
    while ((got = ::read(0, buf, sizeof buf)) > 0) in.append(buf, static_cast<size_t>(got));
    return in;
}

// argv: mode args...
[[noreturn]] void run_helper(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    auto arg = [&](int i) { return argc > i ? std::string(argv[i]) : std::string(); };
    if (mode == "exit") _exit(std::atoi(argv[2]));
    if (mode == "signal") {
        ::signal(std::atoi(argv[2]), SIG_DFL);
        ::raise(std::atoi(argv[2]));
        _exit(99);
    }
    if (mode == "both") {  // both streams, then exit code
        write_all(1, "to-out\n");
        write_all(2, "to-err\n");
        _exit(argc > 2 ? std::atoi(argv[2]) : 0);
    }
    if (mode == "sleep") {
        if (arg(3) == "ignore-term") ::signal(SIGTERM, SIG_IGN);
        ::usleep(static_cast<useconds_t>(std::atof(argv[2]) * 1e6));
        _exit(0);
    }
    if (mode == "background") {  // leaves a sleeper holding the output, prints its pid, exits 0
        pid_t child = ::fork();
        if (child == 0) {
            ::usleep(30000000);
            _exit(0);
        }
        write_all(1, std::to_string(child) + "\n");
        _exit(0);
    }
    if (mode == "close-and-sleep") {  // no output left, then a long silence
        ::close(1);
        ::close(2);
        ::usleep(static_cast<useconds_t>(std::atof(argv[2]) * 1e6));
        _exit(0);
    }
    if (mode == "tick") {  // prints every 0.2 s for a long time
        for (int i = 0; i < 300; ++i) {
            write_all(1, ".");
            ::usleep(200000);
        }
        _exit(0);
    }
    if (mode == "flood") {  // floods both pipes before reading any input
        size_t n = static_cast<size_t>(std::atol(argv[2]));
        std::string block(4096, 'o'), eblock(4096, 'e');
        for (size_t done = 0; done < n; done += block.size()) {
            write_all(1, block);
            write_all(2, eblock);
        }
        std::string in = read_all_stdin();
        write_all(1, "\nread=" + std::to_string(in.size()) + "\n");
        _exit(0);
    }
    if (mode == "env") {  // prints the named variables, "-" when unset
        for (int i = 2; i < argc; ++i) {
            const char* v = ::getenv(argv[i]);
            write_all(1, std::string(argv[i]) + "=" + (v ? v : "-") + "\n");
        }
        _exit(0);
    }
    if (mode == "fds") {  // the open descriptors, except the listing's own
        DIR* d = ::opendir("/proc/self/fd");
        int own = ::dirfd(d);
        std::string out;
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            if (std::atoi(e->d_name) == own) continue;
            out += std::string(e->d_name) + " ";
        }
        write_all(1, out + "\n");
        _exit(0);
    }
    _exit(98);
}

struct Dispatch {
    Dispatch() {
        const char* on = ::getenv("NORVIK_RUN_HELPER");
        if (!on || std::strcmp(on, "1") != 0) return;
        std::string all;
        {
            std::ifstream f("/proc/self/cmdline", std::ios::binary);
            all.assign((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        }
        std::vector<std::string> parts;
        size_t start = 0;
        while (start < all.size()) {
            size_t nul = all.find('\0', start);
            if (nul == std::string::npos) nul = all.size();
            parts.push_back(all.substr(start, nul - start));
            start = nul + 1;
        }
        std::vector<char*> argv;
        for (auto& p : parts) argv.push_back(p.data());
        argv.push_back(nullptr);
        run_helper(static_cast<int>(parts.size()), argv.data());
    }
} dispatch;

}  // namespace

const std::string& self() {
    static const std::string path = [] {
        char buf[4096];
        ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }();
    return path;
}

std::map<std::string, std::string> env() { return {{"NORVIK_RUN_HELPER", "1"}}; }

}  // namespace norvik::test::helper
