// norvik_demod: a small daemon for demonstrating and testing restartsrv.
//
// It writes a PID file, listens on a loopback port, appends every start,
// stop, reload and in-place restart to an events file ("<event> <pid>
// <epoch seconds with fraction>"), rewrites its PID file on USR1 and counts
// HUP as a reload.
//
//   norvik_demod --pidfile FILE [--port N] [--events FILE] [--daemon]
//                [--no-usr1-pidfile] [--start-delay SECONDS]
//                [--fail-first N --counter FILE] [--stop-delay SECONDS]
//                [--hang-on-term]
//
// With --hang-on-term the daemon acts as one stuck in its shutdown: the
// first TERM removes its PID file, and then it keeps its port and ignores
// TERM for good; only KILL ends it.
//
// With --daemon the program detaches (two forks, a new session, standard
// streams on /dev/null) and the starting process exits only once the
// daemon is listening and has written its PID file: 0 then, else the
// daemon's failure status.
#include <functional>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Config {
    std::string pidfile;
    std::string events;
    std::string counter;
    int port = 0;
    bool daemon = false;
    bool usr1_pidfile = true;
    double start_delay = 0;
    double stop_delay = 0;
    int fail_first = 0;
    bool hang_on_term = false;
};

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: norvik_demod --pidfile FILE [--port N] [--events FILE] [--daemon]\n"
                 "                    [--no-usr1-pidfile] [--start-delay S] [--stop-delay S]\n"
                 "                    [--fail-first N --counter FILE] [--hang-on-term]\n");
    std::exit(64);
}

void sleep_for(double s) {
    if (s <= 0) return;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(s);
    ts.tv_nsec = static_cast<long>((s - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void event(const Config& c, const char* what) {
    if (c.events.empty()) return;
    int fd = open(c.events.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[128];
    int n = std::snprintf(line, sizeof line, "%s %ld %.6f\n", what, static_cast<long>(getpid()), now());
    if (write(fd, line, static_cast<size_t>(n)) < 0) {}
    close(fd);
}

// `before_it_shows` runs once the file is written and before it takes its
// name: whoever sees the PID file then also sees what that did.
bool write_pidfile(
    const Config& c, const std::function<void()>& before_it_shows = [] {}) {
    std::string tmp = c.pidfile + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::string text = std::to_string(getpid()) + "\n";
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (!ok) return false;
    before_it_shows();
    return rename(tmp.c_str(), c.pidfile.c_str()) == 0;
}

// Counts starts in the counter file; true while this start must fail.
bool must_fail(const Config& c) {
    if (c.fail_first <= 0 || c.counter.empty()) return false;
    int count = 0;
    if (FILE* f = std::fopen(c.counter.c_str(), "re")) {
        if (std::fscanf(f, "%d", &count) != 1) count = 0;
        std::fclose(f);
    }
    ++count;
    if (FILE* f = std::fopen(c.counter.c_str(), "we")) {
        std::fprintf(f, "%d\n", count);
        std::fclose(f);
    }
    return count <= c.fail_first;
}

int listen_on(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Runs the daemon proper; `ready` (or -1) receives one status byte once the
// daemon is up or has failed.
int serve(const Config& c, int ready) {
    auto report = [&](unsigned char code) {
        if (ready >= 0) {
            if (write(ready, &code, 1) < 0) {}
            close(ready);
            ready = -1;
        }
    };
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int sfd = signalfd(-1, &set, SFD_CLOEXEC);
    if (sfd < 0) {
        report(70);
        return 70;
    }
    if (must_fail(c)) {
        std::fprintf(stderr, "norvik_demod: failing this start on purpose\n");
        report(3);
        return 3;
    }
    sleep_for(c.start_delay);
    int lfd = -1;
    if (c.port > 0) {
        lfd = listen_on(c.port);
        if (lfd < 0) {
            std::fprintf(stderr, "norvik_demod: cannot listen on 127.0.0.1:%d: %s\n", c.port, std::strerror(errno));
            report(2);
            return 2;
        }
    }
    // The start is on record before the PID file shows it: a test that
    // counts starts once the tool is done must find it.
    if (!write_pidfile(c, [&c] { event(c, "start"); })) {
        std::fprintf(stderr, "norvik_demod: cannot write %s: %s\n", c.pidfile.c_str(), std::strerror(errno));
        report(73);
        return 73;
    }
    if (ready >= 0) {
        // Up: let go of the starter's error stream, whose reader waits for it.
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) dup2(null, 2);
        if (null > 2) close(null);
    }
    report(0);
    bool hung = false;
    for (;;) {
        struct pollfd p[2] = {{sfd, POLLIN, 0}, {lfd, POLLIN, 0}};
        int n = poll(p, lfd >= 0 ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (lfd >= 0 && (p[1].revents & POLLIN)) {
            int cfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (cfd >= 0) {
                static const char msg[] = "norvik_demod ok\n";
                if (write(cfd, msg, sizeof msg - 1) < 0) {}
                close(cfd);
            }
        }
        if (p[0].revents & POLLIN) {
            struct signalfd_siginfo si;
            if (read(sfd, &si, sizeof si) != sizeof si) continue;
            if (si.ssi_signo == SIGHUP) {
                event(c, "reload");
            } else if (si.ssi_signo == SIGUSR1) {
                event(c, "graceful");
                if (c.usr1_pidfile) {
                    sleep_for(0.2);  // the in-place restart takes a moment
                    write_pidfile(c);
                }
            } else if (c.hang_on_term) {
                if (!hung) {
                    event(c, "hang");
                    unlink(c.pidfile.c_str());
                    hung = true;
                }
            } else {
                sleep_for(c.stop_delay);
                event(c, "stop");
                unlink(c.pidfile.c_str());
                return 0;
            }
        }
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Config c;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--pidfile") c.pidfile = value();
        else if (a == "--events") c.events = value();
        else if (a == "--counter") c.counter = value();
        else if (a == "--port") c.port = std::atoi(value().c_str());
        else if (a == "--daemon") c.daemon = true;
        else if (a == "--no-usr1-pidfile") c.usr1_pidfile = false;
        else if (a == "--start-delay") c.start_delay = std::atof(value().c_str());
        else if (a == "--stop-delay") c.stop_delay = std::atof(value().c_str());
        else if (a == "--fail-first") c.fail_first = std::atoi(value().c_str());
        else if (a == "--hang-on-term") c.hang_on_term = true;
        else usage();
    }
    if (c.pidfile.empty()) usage();
    if (!c.daemon) return serve(c, -1);

    int pfd[2];
    if (pipe2(pfd, O_CLOEXEC) != 0) return 71;
    pid_t first = fork();
    if (first < 0) return 71;
    if (first == 0) {
        close(pfd[0]);
        setsid();
        pid_t second = fork();
        if (second < 0) _exit(71);
        if (second > 0) _exit(0);
        if (chdir("/") != 0) {}
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            // Keep the starter's error stream until the daemon is up, so a
            // failed start explains itself in the startup log.
        }
        int rc = serve(c, pfd[1]);
        _exit(rc);
    }
    close(pfd[1]);
    int st = 0;
    while (waitpid(first, &st, 0) < 0 && errno == EINTR) {}
    unsigned char code = 74;
    ssize_t n;
    do n = read(pfd[0], &code, 1);
    while (n < 0 && errno == EINTR);
    close(pfd[0]);
    return n == 1 ? code : 74;
}
