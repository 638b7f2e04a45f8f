// Shared bits of the fuzz harnesses: a private sandbox root per process and
// helpers to turn the input into lines and files.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/paths.hpp"

namespace fuzzsupport {

// Removes the sandbox at a normal exit (libFuzzer exits through exit()).
inline void remove_tree(const std::string& dir) {
    ::nftw(
        dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

// On tmpfs when there is one: a disk file system flushes every rewritten
// file on close, which makes the file-based harnesses crawl.
inline const std::string& sandbox() {
    static const std::string dir = [] {
        std::string tmpl = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/norvik-fuzz-XXXXXX" : "/tmp/norvik-fuzz-XXXXXX";
        const char* d = ::mkdtemp(tmpl.data());
        if (!d) std::abort();
        std::string root = d;
        norvik::foundation::set_root_for_testing(root);
        // A plain buffer: the atexit handler runs after static strings are gone.
        static char keep[64];
        std::snprintf(keep, sizeof keep, "%s", d);
        std::atexit([] { remove_tree(keep); });
        return root;
    }();
    return dir;
}

inline void put(const std::string& path, const std::string& content) {
    std::string parent = path.substr(0, path.rfind('/'));
    for (size_t i = 1; i <= parent.size(); ++i)
        if (i == parent.size() || parent[i] == '/') ::mkdir(parent.substr(0, i).c_str(), 0755);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            if (start < text.size()) out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

// Splits at NUL bytes (how argv arrives).
inline std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t z = text.find('\0', start);
        if (z == std::string::npos) z = text.size();
        out.push_back(text.substr(start, z - start));
        start = z + 1;
    }
    return out;
}

}  // namespace fuzzsupport
