#include "output/formatted_terminal.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "foundation/paths.hpp"
#include "output/solarize.hpp"
#include "output/terminal.hpp"

namespace norvik::output {
namespace {
std::optional<bool>& disabled_cache() {
    // Cache for the run: whether progress output is off.
    static std::optional<bool> v;
    return v;
}

int& progress_interval_ms() {
    // Test seam: the progress dot interval.
    static int ms = 1000;
    return ms;
}
}  // namespace

// The dot writer: a thread that waits while the line is closed and, while
// it is open, writes one dot per interval of silence. It writes with write(2)
// and never touches stdio or the heap, and a forked child (which has no such
// thread) leaves it alone.
struct Terminal::Ticker {
    using Clock = std::chrono::steady_clock;
    explicit Ticker(int fd_) : fd(fd_), owner(::getpid()) {
        // Signals stay with the main thread: an alarm must interrupt the call
        // it times, and a handler must run where the program expects it.
        sigset_t all, saved;
        sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &saved);
        thread = std::thread([this] { loop(); });
        ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
    ~Ticker() {
        {
            std::lock_guard<std::mutex> lk(m);
            stop = true;
        }
        cv.notify_all();
        thread.join();
    }
    void loop() {
        std::unique_lock<std::mutex> lk(m);
        while (!stop) {
            if (!armed) {
                cv.wait(lk);
                continue;
            }
            const auto due = last + std::chrono::milliseconds(progress_interval_ms());
            const unsigned long seen = generation;
            if (cv.wait_until(lk, due, [&] { return stop || !armed || generation != seen; })) continue;
            ssize_t ignored = ::write(fd, ".", 1);
            (void)ignored;
            last = Clock::now();
        }
    }
    void arm() {
        {
            std::lock_guard<std::mutex> lk(m);
            armed = true;
            last = Clock::now();
            ++generation;
        }
        cv.notify_all();
    }
    void pause() {
        std::lock_guard<std::mutex> lk(m);
        armed = false;
    }

    int fd;
    pid_t owner;
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    bool armed = false;
    unsigned long generation = 0;
    Clock::time_point last{};
    std::thread thread;
};

void Terminal::set_progress_interval_ms(int ms) { progress_interval_ms() = ms > 0 ? ms : 1000; }

Terminal::Terminal(const OutputOptions& options) : Plain(options) {}

Terminal::~Terminal() {
    // In a forked child the thread does not exist: its state is not ours
    // to wait for.
    if (ticker_ && ticker_->owner != ::getpid()) (void)ticker_.release();
}

void Terminal::message(const std::string& type, const nlohmann::json& contents, const nlohmann::json& source,
                       int partial_message, bool prepend_message) {
    const bool ours = !ticker_ || ticker_->owner == ::getpid();
    if (ticker_ && ours) ticker_->pause();
    Plain::message(type, contents, source, partial_message, prepend_message);
    if (!ours || _last_message_had_newline || !::isatty(::fileno(filehandle_))) return;
    if (!ticker_) ticker_ = std::make_unique<Ticker>(::fileno(filehandle_));
    ticker_->arm();
}

void Terminal::_clear_cache() { disabled_cache().reset(); }

bool Terminal::color_disabled() {
    if (!disabled_cache()) {
        bool off = false;
        auto no_color = norvik::output::env_value("NO_COLOR");
        if (no_color && !no_color->empty()) off = true;
        if (!off && ::access(norvik::foundation::no_color_flag().c_str(), F_OK) == 0) off = true;
        auto home = norvik::output::env_value("HOME");
        if (!off && home && !home->empty() &&
            ::access(norvik::foundation::user_no_color_flag(*home).c_str(), F_OK) == 0)
            off = true;
        disabled_cache() = off;
    }
    return *disabled_cache();
}

std::string Terminal::_format_text(const std::string& color, const std::string& text) {
    if (color.empty() || text.empty()) return text;
    if (color_disabled()) return text;
    // Colour only what goes to the terminal itself, never a file or pipe.
    if (!::isatty(::fileno(filehandle_))) return text;
    return norvik::output::colored(std::vector<std::string>{color}, {text});
}

}  // namespace norvik::output
