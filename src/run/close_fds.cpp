#include "run/close_fds.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace norvik::run {
namespace {

// Without close_range: walk the open descriptors.
void close_by_listing(const std::vector<int>& keep) {
    DIR* d = ::opendir("/proc/self/fd");
    if (!d) {
        long max = ::sysconf(_SC_OPEN_MAX);
        if (max < 0 || max > 65536) max = 65536;
        for (int fd = 3; fd < max; ++fd)
            if (std::find(keep.begin(), keep.end(), fd) == keep.end()) ::close(fd);
        return;
    }
    std::vector<int> open;
    int dfd = ::dirfd(d);
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        int fd = std::atoi(e->d_name);
        if (fd > 2 && fd != dfd) open.push_back(fd);
    }
    ::closedir(d);
    for (int fd : open)
        if (std::find(keep.begin(), keep.end(), fd) == keep.end()) ::close(fd);
}

}  // namespace

void fast_closefds(const std::vector<int>& keep_in) {
    std::vector<int> keep;
    for (int fd : keep_in)
        if (fd > 2) keep.push_back(fd);
    std::sort(keep.begin(), keep.end());
    keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
    // Close the gaps between the descriptors to keep.
    unsigned int from = 3;
    for (int fd : keep) {
        if (static_cast<unsigned int>(fd) > from) {
            if (::close_range(from, static_cast<unsigned int>(fd) - 1, 0) != 0) {
                close_by_listing(keep_in);
                return;
            }
        }
        from = static_cast<unsigned int>(fd) + 1;
    }
    if (::close_range(from, UINT_MAX, 0) != 0) close_by_listing(keep_in);
}

}  // namespace norvik::run
