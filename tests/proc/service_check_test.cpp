// Whether a service runs, from its PID file and the process table.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "proc/service_check.hpp"
#include "support/test_support.hpp"

namespace proc = norvik::proc;
using norvik::test::TempDir;

namespace {
proc::CheckServiceOptions demo(const std::string& pidfile, pid_t pid = 0) {
    proc::CheckServiceOptions o;
    o.service = "demo";
    o.pidfile = pidfile;
    o.pid = pid;
    return o;
}
}  // namespace

TEST(ServiceCheck, CheckServiceFromPidFileAndProc) {
    TempDir root_{"servicecheck"};
    pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sleep", "demo-daemon", "30", nullptr);
        ::_exit(127);
    }
    pid_t plain = ::fork();
    if (plain == 0) {
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(127);
    }
    ::usleep(100000);
    norvik::test::write_file(root_ / "demo.pid", std::to_string(child) + "\n");
    std::string r = proc::check_service(demo(root_ / "demo.pid"));
    EXPECT_NE(r.find("demo-daemon 30"), std::string::npos) << r;
    EXPECT_NE(r.find("pidfile"), std::string::npos) << r;
    // A process that is not the service's is never reported as it.
    norvik::test::write_file(root_ / "foreign.pid", std::to_string(plain) + "\n");
    std::string warned;
    proc::CheckServiceOptions fo = demo(root_ / "foreign.pid");
    fo.warn = [&](const std::string& m) { warned += m; };
    EXPECT_EQ(proc::check_service(fo), "");
    EXPECT_NE(warned.find(root_ / "foreign.pid"), std::string::npos) << warned;
    fo.binary = "/usr/bin/sleep";
    EXPECT_NE(proc::check_service(fo), "") << "the service's binary is its own";
    ::kill(plain, SIGKILL);
    ::waitpid(plain, nullptr, 0);
    // Garbage in the PID file: not running.
    norvik::test::write_file(root_ / "bad.pid", "garbage\n");
    EXPECT_EQ(proc::check_service(demo(root_ / "bad.pid")), "");
    ::kill(child, SIGKILL);
    ::usleep(100000);
    // A zombie does not run.
    EXPECT_EQ(proc::check_service(demo("", child)), "");
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(proc::check_service(demo("", child)), "");
    // The last resort answers when everything else is silent.
    proc::set_outside_check_service([](const proc::CheckServiceOptions& o) { return "outside:" + o.service; });
    EXPECT_EQ(proc::check_service(demo("")), "outside:demo");
    proc::set_outside_check_service(nullptr);
}
