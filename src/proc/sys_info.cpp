#include "proc/sys_info.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "proc/proc_root.hpp"
#include "proc/process_table.hpp"

namespace norvik::proc {

SysInfo::SysInfo() {
    long hz = ::sysconf(_SC_CLK_TCK);
    if (hz > 0) hz_ = hz;
    long ps = ::sysconf(_SC_PAGESIZE);
    if (ps > 0) page_size_ = ps;

    const std::string& base = proc::proc_root();
    std::string buf;
    if (proc::read_at(AT_FDCWD, (base + "/uptime").c_str(), buf)) uptime_ = std::strtod(buf.c_str(), nullptr);
    if (uptime_ <= 0) {
        struct timespec ts;
        ::clock_gettime(CLOCK_BOOTTIME, &ts);
        uptime_ = double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    }
    if (proc::read_at(AT_FDCWD, (base + "/stat").c_str(), buf)) {
        size_t p = buf.find("\nbtime ");
        if (p != std::string::npos) boot_time_ = std::strtod(buf.c_str() + p + 7, nullptr);
    }
    if (boot_time_ <= 0) boot_time_ = double(::time(nullptr)) - uptime_;
    if (proc::read_at(AT_FDCWD, (base + "/meminfo").c_str(), buf)) {
        size_t p = buf.find("MemTotal:");
        if (p != std::string::npos) mem_total_ = std::strtoull(buf.c_str() + p + 9, nullptr, 10) * 1024ULL;
    }
    if (mem_total_ == 0) {
        long pages = ::sysconf(_SC_PHYS_PAGES);
        if (pages > 0) mem_total_ = std::uint64_t(pages) * std::uint64_t(page_size_);
    }
}

double SysInfo::calculate_percent_memory_from_rsspages(double resident_pages) const {
    if (mem_total_ == 0 || resident_pages <= 0) return 0.0;
    return resident_pages * double(page_size_) * 100.0 / double(mem_total_);
}

double SysInfo::calculate_percent_cpu_from_ticks(double start_ticks, double cpu_ticks) const {
    double lived = uptime_ - start_ticks / double(hz_);
    if (lived <= 0 || cpu_ticks <= 0) return 0.0;
    return (cpu_ticks / double(hz_)) * 100.0 / lived;
}

double SysInfo::calculate_elapsed_from_ticks(double start_ticks) const {
    double e = uptime_ - start_ticks / double(hz_);
    return e > 0 ? e : 0.0;
}

}  // namespace norvik::proc
