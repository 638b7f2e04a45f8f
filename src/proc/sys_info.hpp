// Machine facts for the process table's derived columns: clock ticks, page
// size, total memory and uptime, read once per parse.
#pragma once

#include <cstdint>

namespace norvik::proc {

class SysInfo {
public:
    SysInfo();

    // Percentage of physical memory held by that many resident pages.
    double calculate_percent_memory_from_rsspages(double resident_pages) const;
    // Percentage of one processor used since the start (both in clock ticks).
    double calculate_percent_cpu_from_ticks(double start_ticks, double cpu_ticks) const;
    // Seconds since the process started.
    double calculate_elapsed_from_ticks(double start_ticks) const;

    long ticks_per_second() const { return hz_; }
    long page_size() const { return page_size_; }
    double boot_time() const { return boot_time_; }  // epoch seconds
    double uptime() const { return uptime_; }        // seconds
    std::uint64_t mem_total_bytes() const { return mem_total_; }

private:
    long hz_ = 100;
    long page_size_ = 4096;
    double boot_time_ = 0;
    double uptime_ = 0;
    std::uint64_t mem_total_ = 0;
};

}  // namespace norvik::proc
