#include "run/alarm.hpp"

#include <sys/time.h>

#include <algorithm>
#include <cmath>
#include <ctime>

namespace norvik::run {
namespace {

double now() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

itimerval timer_for(double seconds) {
    itimerval tv{};
    if (seconds > 0) {
        tv.it_value.tv_sec = static_cast<time_t>(seconds);
        tv.it_value.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.it_value.tv_sec)) * 1e6);
        if (tv.it_value.tv_sec == 0 && tv.it_value.tv_usec == 0) tv.it_value.tv_usec = 1;
    }
    return tv;
}

double seconds_of(const itimerval& tv) {
    return static_cast<double>(tv.it_value.tv_sec) + static_cast<double>(tv.it_value.tv_usec) / 1e6;
}

// Arms the real-time timer; returns what the previous one had left.
double arm(double seconds) {
    itimerval tv = timer_for(seconds), old{};
    ::setitimer(ITIMER_REAL, &tv, &old);
    return seconds_of(old);
}

}  // namespace

Alarm::Alarm(double seconds, Handler action) : creation_time(now()) {
    if (action) {
        struct sigaction sa {};
        sa.sa_handler = action;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGALRM, &sa, &previous_action);
        replaced_action = true;
    }
    previous_alarm_time_left = set(seconds);
}

double Alarm::set(double seconds) {
    local_alarm_length = seconds;
    local_alarm_start = now();
    return arm(seconds);
}

double Alarm::get_remaining() const { return local_alarm_length - (now() - local_alarm_start); }

Alarm::~Alarm() {
    arm(0);
    if (replaced_action) ::sigaction(SIGALRM, &previous_action, nullptr);
    if (previous_alarm_time_left > 0) {
        double left = previous_alarm_time_left - (now() - creation_time);
        arm(std::max(1.0, left));
    }
}

}  // namespace norvik::run
