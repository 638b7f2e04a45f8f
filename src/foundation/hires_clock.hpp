// Sub-second clock and sleep.
#pragma once

#include <cstdint>
#include <utility>

namespace norvik::timehires {

// Seconds since the epoch, with nanoseconds as the fraction.
double time();
// (seconds, nanoseconds) of the real-time clock; raises on failure.
std::pair<int64_t, int64_t> clock_gettime();
// (seconds, microseconds); raises on failure.
std::pair<int64_t, int64_t> gettimeofday();
// Sleeps for a fraction of a second; a signal ends the sleep early without
// error. Returns `seconds`.
double sleep(double seconds);

}  // namespace norvik::timehires
