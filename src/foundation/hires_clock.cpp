#include "foundation/hires_clock.hpp"

#include <sys/select.h>
#include <sys/time.h>

#include <cerrno>
#include <cmath>
#include <ctime>

#include "foundation/io_error.hpp"

namespace norvik::foundation {

std::pair<int64_t, int64_t> hires_clock_gettime() {
    struct timespec ts;
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        int err = errno;
        foundation::raise_io_error("System::ClockError", "The system failed to read the clock: [_1]",
                                   {foundation::error_text(err)}, nlohmann::json::object(), err);
    }
    return {static_cast<int64_t>(ts.tv_sec), static_cast<int64_t>(ts.tv_nsec)};
}

std::pair<int64_t, int64_t> hires_gettimeofday() {
    struct timeval tv;
    if (::gettimeofday(&tv, nullptr) != 0) {
        int err = errno;
        foundation::raise_io_error("System::ClockError", "The system failed to read the time of day: [_1]",
                                   {foundation::error_text(err)}, nlohmann::json::object(), err);
    }
    return {static_cast<int64_t>(tv.tv_sec), static_cast<int64_t>(tv.tv_usec)};
}

double hires_time() {
    auto [s, ns] = hires_clock_gettime();
    return static_cast<double>(s) + static_cast<double>(ns) / 1000000000.0;
}

double hires_sleep(double seconds) {
    // Negative or NaN requests sleep not at all rather than failing.
    double wanted = (std::isnan(seconds) || seconds < 0) ? 0.0 : seconds;
    struct timeval tv;
    double whole = std::floor(wanted);
    tv.tv_sec = static_cast<time_t>(whole);
    tv.tv_usec = static_cast<suseconds_t>(std::llround((wanted - whole) * 1000000.0));
    if (tv.tv_usec >= 1000000) {
        tv.tv_sec += 1;
        tv.tv_usec -= 1000000;
    }
    if (::select(0, nullptr, nullptr, nullptr, &tv) < 0 && errno != EINTR) {
        int err = errno;
        foundation::raise_io_error("System::SleepError", "The system failed to sleep for [_1] seconds: [_2]",
                                   {std::to_string(seconds), foundation::error_text(err)}, {{"seconds", seconds}}, err);
    }
    return seconds;
}

}  // namespace norvik::foundation
