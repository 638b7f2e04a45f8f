// The processes a run started, followed down the process tree: children,
// grandchildren, adopted orphans; never a zombie or a process of another tree.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "proc/family.hpp"

namespace proc = norvik::proc;

namespace {

bool has(const std::vector<proc::Member>& v, pid_t pid) {
    return std::any_of(v.begin(), v.end(), [&](const proc::Member& m) { return m.pid == pid; });
}

}  // namespace

TEST(Family, DescendantsFollowTheTreeAndLeaveOutZombiesAndStrangers) {
    // Run in a child that is a subreaper, as a start is, so the test's own
    // other children never mix in.
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    pid_t runner = ::fork();
    if (runner == 0) {
        ::close(report[0]);
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        int ready[2];
        if (::pipe(ready) != 0) ::_exit(10);
        // A child with a grandchild; a double-forked daemon adopted by us;
        // a zombie child.
        pid_t child = ::fork();
        if (child == 0) {
            if (::fork() == 0) {
                ::pause();
                ::_exit(0);
            }
            ::pause();
            ::_exit(0);
        }
        pid_t middle = ::fork();
        if (middle == 0) {
            pid_t daemon = ::fork();
            if (daemon == 0) {
                ::close(ready[0]);
                (void)!::write(ready[1], "d", 1);
                ::pause();
                ::_exit(0);
            }
            ::_exit(0);
        }
        ::waitpid(middle, nullptr, 0);
        char c;
        (void)!::read(ready[0], &c, 1);
        pid_t zombie = ::fork();
        if (zombie == 0) ::_exit(0);
        ::usleep(100000);
        auto d = proc::descendants(::getpid());
        int code = 0;
        if (d.size() != 3) code |= 1;  // child, grandchild, daemon
        if (!has(d, child)) code |= 2;
        if (has(d, zombie) || has(d, middle)) code |= 4;
        if (has(d, ::getpid()) || has(d, ::getppid())) code |= 8;
        for (const auto& m : d)
            if (!proc::still_running(m)) code |= 16;
        // Once ended, they are gone from the list.
        proc::end_members(d, 5, false);
        proc::reap_finished_children();
        if (!proc::descendants(::getpid()).empty()) code |= 32;
        (void)!::write(report[1], &code, sizeof code);
        ::_exit(0);
    }
    ::close(report[1]);
    int code = -1;
    ASSERT_EQ(::read(report[0], &code, sizeof code), static_cast<ssize_t>(sizeof code));
    ::close(report[0]);
    ::waitpid(runner, nullptr, 0);
    EXPECT_EQ(code, 0) << "bits: 1 count, 2 child missing, 4 zombie or gone process, 8 self or parent, "
                          "16 not running, 32 left after ending";
    // The test process's own tree is not the runner's.
    EXPECT_FALSE(has(proc::descendants(::getpid()), runner));
}

// A long list of children (more than a page of pids) is read whole.
TEST(Family, ManyChildrenAreAllFound) {
    constexpr int COUNT = 1200;
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    pid_t runner = ::fork();
    if (runner == 0) {
        ::close(report[0]);
        std::vector<pid_t> kids;
        for (int i = 0; i < COUNT; ++i) {
            pid_t k = ::fork();
            if (k == 0) {
                ::pause();
                ::_exit(0);
            }
            if (k > 0) kids.push_back(k);
        }
        const auto found = proc::descendants(::getpid());
        int missing = 0;
        for (pid_t k : kids) missing += has(found, k) ? 0 : 1;
        int counts[2] = {static_cast<int>(kids.size()), missing};
        for (pid_t k : kids) ::kill(k, SIGKILL);
        for (pid_t k : kids) ::waitpid(k, nullptr, 0);
        (void)!::write(report[1], counts, sizeof counts);
        ::_exit(0);
    }
    ::close(report[1]);
    int counts[2] = {-1, -1};
    ASSERT_EQ(::read(report[0], counts, sizeof counts), static_cast<ssize_t>(sizeof counts));
    ::close(report[0]);
    ::waitpid(runner, nullptr, 0);
    EXPECT_EQ(counts[0], COUNT);
    EXPECT_EQ(counts[1], 0) << "children missed";
}
