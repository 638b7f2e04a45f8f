// A scoped alarm. Alarms nest: when one goes away it puts back the previous
// SIGALRM handler and re-arms the alarm that was pending before it with what
// that one had left (less the time passed since, at least 1 second).
//
//   norvik::run::Alarm guard(600, on_alarm);   // on_alarm: async-signal-safe
#pragma once

#include <signal.h>

#include <optional>

namespace norvik::run {

class Alarm {
public:
    using Handler = void (*)(int);

    // seconds 0 = not armed; handler nullptr = keep the current handler.
    explicit Alarm(double seconds, Handler action = nullptr);
    ~Alarm();
    Alarm(const Alarm&) = delete;
    Alarm& operator=(const Alarm&) = delete;

    // Arms anew (fractions through the interval timer); returns what the
    // alarm armed before had left, in seconds.
    double set(double seconds);
    double get_length() const { return local_alarm_length; }
    double get_remaining() const;

private:
    double local_alarm_length = 0;
    double local_alarm_start = 0;
    double creation_time = 0;
    double previous_alarm_time_left = 0;
    struct sigaction previous_action {};
    bool replaced_action = false;
};

}  // namespace norvik::run
