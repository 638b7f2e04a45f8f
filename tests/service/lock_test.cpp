#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "exception/exception.hpp"
#include "foundation/flock.hpp"
#include "foundation/paths.hpp"
#include "foundation/hires_clock.hpp"
#include "service/lock.hpp"
#include "support/test_support.hpp"

namespace {

using norvik::service::Lock;
namespace foundation = norvik::foundation;

class LockTest : public ::testing::Test {
protected:
    void SetUp() override { foundation::set_root_for_testing(tmp.path()); }
    norvik::test::TempDir tmp{"lock"};
};

// True when some other open file description could take the lock now.
bool lock_is_free(const std::string& path) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) _exit(2);
        _exit(::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 2);
    return WEXITSTATUS(status) == 0;
}

TEST_F(LockTest, SecondRunProceedsSoonAfterRelease) {
    auto lock = std::make_unique<Lock>("exim");
    int pfd[2];
    ASSERT_EQ(pipe2(pfd, O_CLOEXEC), 0);
    pid_t pid = fork();
    if (pid == 0) {
        ::close(pfd[0]);
        try {
            Lock second("exim", 10);
            double got = norvik::foundation::hires_time();
            (void)!write(pfd[1], &got, sizeof got);
            _exit(0);
        } catch (...) {
            _exit(3);
        }
    }
    ::close(pfd[1]);
    norvik::foundation::hires_sleep(0.8);  // the child is polling by now
    const double released = norvik::foundation::hires_time();
    EXPECT_EQ(lock->release(), 1);
    double got = 0;
    ASSERT_EQ(read(pfd[0], &got, sizeof got), static_cast<ssize_t>(sizeof got));
    ::close(pfd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GE(got, released);
    EXPECT_LT(got - released, 0.25 + 0.1);
}

TEST_F(LockTest, ChildThatDropsItsCopyLeavesParentLockHeld) {
    auto lock = std::make_unique<Lock>("httpd");
    const std::string path = lock->path();
    ASSERT_FALSE(lock_is_free(path));
    for (int variant = 0; variant < 2; ++variant) {
        pid_t pid = fork();
        if (pid == 0) {
            // The child's copy of the object: released or destroyed there.
            if (variant == 0) lock->release();
            else lock.reset();
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_FALSE(lock_is_free(path)) << "variant " << variant;
    }
    EXPECT_TRUE(lock->is_held());
    lock->release();
    EXPECT_TRUE(lock_is_free(path));
}

TEST_F(LockTest, KilledHolderFreesTheLockAtOnce) {
    int pfd[2];
    ASSERT_EQ(pipe2(pfd, O_CLOEXEC), 0);
    pid_t pid = fork();
    if (pid == 0) {
        ::close(pfd[0]);
        Lock held("named");
        (void)!write(pfd[1], "x", 1);
        pause();
        _exit(0);
    }
    ::close(pfd[1]);
    char c;
    ASSERT_EQ(read(pfd[0], &c, 1), 1);
    ::close(pfd[0]);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    const double start = norvik::foundation::hires_time();
    Lock mine("named", 5);
    EXPECT_LT(norvik::foundation::hires_time() - start, 0.3);
}

// A case variant of the name waits for the same lock, and the time-out is
// the lock error of its own kind, which nothing may take for another failure.
TEST_F(LockTest, TimesOutWithTheLockErrorWhileACaseVariantHoldsIt) {
    Lock first("mysql");
    for (const char* name : {"mysql", "MySQL"}) {
        pid_t pid = fork();
        if (pid == 0) {
            try {
                Lock second(name, 1);
                _exit(0);
            } catch (const norvik::service::LockError& e) {
                bool ok = e.kind() == norvik::service::LockError::Kind::Timeout &&
                          std::strstr(e.what(), "could not be obtained");
                _exit(ok ? 7 : 8);
            } catch (...) {
                _exit(9);
            }
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 7) << name;
    }
    EXPECT_EQ(norvik::service::get_run_lock_file_for_service("NkDemo-A_1"), foundation::lock_base() + "/nkdemo-a_1");
}

TEST_F(LockTest, OpenFailureIsTheLockErrorWithItsErrno) {
    norvik::test::write_file(foundation::lock_base(), "a file where the directory belongs");
    try {
        Lock l("exim");
        ADD_FAILURE() << "took a lock below a plain file";
    } catch (const norvik::service::LockError& e) {
        EXPECT_EQ(e.kind(), norvik::service::LockError::Kind::Open);
        EXPECT_EQ(e.error_number(), ENOTDIR) << e.what();
    }
}

TEST_F(LockTest, DifferentServicesDoNotInteract) {
    Lock a("exim");
    const double start = norvik::foundation::hires_time();
    Lock b("dovecot", 2);
    EXPECT_LT(norvik::foundation::hires_time() - start, 0.2);
}

TEST_F(LockTest, InvalidNamesTouchNoFile) {
    for (const std::string& bad : std::vector<std::string>{"../etc/passwd", "a/b", "..", ".", "x.y", "-rf",
                                                           "with space", std::string(65, 'a')}) {
        try {
            Lock l(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const norvik::Exception& e) {
            EXPECT_EQ(e.class_name(), "Norvik::Exception::InvalidParameter") << bad;
            EXPECT_NE(std::string(e.what()).find(bad), std::string::npos);
        }
    }
    EXPECT_THROW(Lock(""), norvik::PlainError);
    EXPECT_FALSE(norvik::test::exists(foundation::lock_base()));
    EXPECT_THROW(norvik::service::get_run_lock_file_for_service("a/b"), norvik::Exception);
    EXPECT_EQ(norvik::service::get_run_lock_file_for_service("exim"), foundation::lock_base() + "/exim");
}

TEST_F(LockTest, FilesAndDescriptor) {
    Lock l("pdns");
    struct stat st {};
    ASSERT_EQ(stat(foundation::lock_base().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(l.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(fcntl(l.fd(), F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(l.release(), 1);
    EXPECT_EQ(l.release(), 1);
    EXPECT_FALSE(l.is_held());
    EXPECT_TRUE(norvik::test::exists(l.path()));  // the file stays
}

TEST_F(LockTest, PlantedSymlinkIsNotFollowed) {
    norvik::test::make_dirs(foundation::lock_base(), 0700);
    const std::string target = tmp / "victim";
    norvik::test::write_file(target, "keep", 0644);
    ASSERT_EQ(symlink(target.c_str(), (foundation::lock_base() + "/exim").c_str()), 0);
    EXPECT_THROW(Lock("exim"), norvik::PlainError);
    EXPECT_EQ(norvik::test::read_file(target), "keep");
}

TEST(FlockTest, HandleLockedByAnotherProcessIsRefused) {
    norvik::test::TempDir t("flock");
    int fd = ::open((t / "f").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    norvik::foundation::Flock h(fd);
    ASSERT_TRUE(norvik::foundation::flock(h, {"EX", "NB"}));
    EXPECT_EQ(h.locked_by(), getpid());
    pid_t pid = fork();
    if (pid == 0) {
        try {
            norvik::foundation::flock(h, {"EX", "NB"});
            _exit(0);
        } catch (const norvik::PlainError&) {
            _exit(5);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 5);
    EXPECT_THROW(norvik::foundation::flock(h, {"BOGUS"}), norvik::PlainError);

    // A descriptor that cannot be locked gives the file-lock error with its path.
    int pathfd = ::open((t / "f").c_str(), O_PATH | O_CLOEXEC);
    ASSERT_GE(pathfd, 0);
    norvik::foundation::Flock bad(pathfd);
    try {
        norvik::foundation::flock(bad, {"EX", "NB"});
        ADD_FAILURE() << "flock on an O_PATH descriptor succeeded";
    } catch (const norvik::Exception& e) {
        EXPECT_EQ(e.class_name(), "Norvik::Exception::IO::FlockError");
        EXPECT_EQ(e.get_text("path"), t / "f");
    }
}

}  // namespace

namespace {

// A holder forks a child that keeps running without exec (as a daemoniser's
// middle process does), then is killed: the lock must not live on in the child.
TEST_F(LockTest, LingeringForkedChildDoesNotKeepTheLockAlive) {
    norvik::test::become_subreaper();  // the orphaned child comes back to us
    int pfd[2];
    ASSERT_EQ(pipe2(pfd, O_CLOEXEC), 0);
    pid_t holder = fork();
    if (holder == 0) {
        ::close(pfd[0]);
        Lock held("lingering");
        pid_t child = fork();
        if (child == 0) {
            ::sleep(30);
            _exit(0);
        }
        std::string msg = std::to_string(child) + "\n";
        (void)!write(pfd[1], msg.data(), msg.size());
        pause();
        _exit(0);
    }
    ::close(pfd[1]);
    char buf[32] = {};
    ASSERT_GT(read(pfd[0], buf, sizeof buf - 1), 0);
    ::close(pfd[0]);
    const pid_t child = static_cast<pid_t>(std::atol(buf));
    const std::string path = norvik::service::get_run_lock_file_for_service("lingering");
    EXPECT_FALSE(lock_is_free(path));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(kill(child, 0), 0) << "the forked child should still be running";
    // The child lets go as soon as it first runs after the fork; allow for a
    // child not yet scheduled on a loaded machine, well inside one lock poll.
    bool free_now = false;
    for (int i = 0; i < 20 && !(free_now = lock_is_free(path)); ++i) ::usleep(10000);
    EXPECT_TRUE(free_now);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

}  // namespace
