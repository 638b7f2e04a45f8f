// Sub-second clock and sleep.
#pragma once

#include <cstdint>
#include <utility>

namespace norvik::foundation {

// Seconds since the epoch, with nanoseconds as the fraction.
double hires_time();
// (seconds, nanoseconds) of the real-time clock; raises on failure.
std::pair<int64_t, int64_t> hires_clock_gettime();
// (seconds, microseconds); raises on failure.
std::pair<int64_t, int64_t> hires_gettimeofday();
// Sleeps for a fraction of a second; a signal ends the sleep early without
// error. Returns `seconds`.
double hires_sleep(double seconds);

}  // namespace norvik::foundation
