#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#include "support/test_support.hpp"
#include "exception/exception.hpp"
#include "foundation/diagnostics.hpp"
#include "foundation/open_file.hpp"
#include "foundation/write_file.hpp"
#include "foundation/load_file.hpp"
#include "foundation/read_fast.hpp"
#include "foundation/paths.hpp"
#include "log/debug.hpp"

namespace foundation = norvik::foundation;
using norvik::test::dir_entries;
using norvik::test::TempDir;

namespace {

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xff);
    return s;
}

mode_t mode_of(const std::string& p) {
    struct stat st;
    EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

class UmaskScope {
public:
    explicit UmaskScope(mode_t m) : old_(umask(m)) {}
    ~UmaskScope() { umask(old_); }

private:
    mode_t old_;
};

}  // namespace

TEST(LoadFile, SizesAroundTheChunkBoundaryReadWhole) {
    TempDir t;
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, foundation::LOAD_FILE_CHUNK - 1, foundation::LOAD_FILE_CHUNK,
                          foundation::LOAD_FILE_CHUNK + 1, 3 * foundation::LOAD_FILE_CHUNK + 17}) {
        std::string p = t / ("f" + std::to_string(n));
        std::string content = random_bytes(n, static_cast<unsigned>(n));
        norvik::test::write_file(p, content);
        EXPECT_EQ(foundation::load(p), content) << n;
        auto lenient = foundation::loadfile(p);
        ASSERT_TRUE(lenient.has_value());
        EXPECT_EQ(*lenient, content) << n;
    }
}

TEST(LoadFile, PipeLargerThanOneChunkIsReadToTheEnd) {
    // Not a regular file: no size to trust, the end-of-file loop must finish it.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string content = random_bytes(foundation::LOAD_FILE_CHUNK + 5000, 7);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::size_t off = 0;
        while (off < content.size()) {
            ssize_t n = ::write(fds[1], content.data() + off, content.size() - off);
            if (n <= 0) _exit(1);
            off += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    EXPECT_EQ(foundation::load("/proc/self/fd/" + std::to_string(fds[0])), content);
    close(fds[0]);
    int st;
    waitpid(pid, &st, 0);
}

TEST(LoadFile, ShortReadsOfARegularFileAreReadOnToTheEnd) {
    // /proc seq files are regular files that answer a page or so per read.
    auto text = foundation::loadfile("/proc/self/smaps");
    ASSERT_TRUE(text);
    EXPECT_GT(text->size(), 8192u);
    EXPECT_NE(text->find("[stack]"), std::string::npos) << "stopped after the first short read";
    ASSERT_FALSE(text->empty());
    EXPECT_EQ(text->back(), '\n');
    EXPECT_NE(foundation::load("/proc/self/smaps").find("[stack]"), std::string::npos);
}

TEST(LoadFile, SettingsReaderRefusesWhatIsNotASmallRegularFile) {
    TempDir t;
    norvik::test::write_file(t / "ok", "k=v\n");
    auto ok = foundation::read_regular_file(t / "ok");
    ASSERT_TRUE(ok.text);
    EXPECT_EQ(*ok.text, "k=v\n");
    EXPECT_EQ(foundation::read_regular_file(t / "missing").error, ENOENT);
    ASSERT_EQ(mkfifo((t / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (t / "zero").c_str()), 0);
    for (const char* name : {"fifo", "zero"}) {
        auto r = foundation::read_regular_file(t / name);
        EXPECT_FALSE(r.text) << name;
        EXPECT_EQ(r.error, EINVAL) << name;
        EXPECT_NE(r.reason.find(t / name), std::string::npos) << r.reason;
        EXPECT_NE(r.reason.find("not a regular file"), std::string::npos) << r.reason;
    }
    norvik::test::write_file(t / "big", std::string(101, 'x'));
    EXPECT_EQ(foundation::read_regular_file(t / "big", 100).error, EFBIG);
    EXPECT_EQ(foundation::read_regular_file(t / "big", 101).text->size(), 101u);
}

// The reader sizes its reads by what the file says it holds: files at and
// around its piece sizes, and /proc files that say they hold nothing.
TEST(LoadFile, SettingsReaderReadsWholeFilesWhateverSizeTheySay) {
    TempDir t;
    for (std::size_t size : {0, 1, 4095, 4096, 4097, 65535, 65536, 65537, 200000}) {
        const std::string body = random_bytes(size, static_cast<unsigned>(size));
        norvik::test::write_file(t / "f", body);
        auto whole = foundation::read_regular_file(t / "f");
        ASSERT_TRUE(whole.text) << size << ": " << whole.reason;
        EXPECT_EQ(*whole.text, body) << size;
        auto exact = foundation::read_regular_file(t / "f", size);
        ASSERT_TRUE(exact.text) << size;
        EXPECT_EQ(exact.text->size(), size);
        if (size > 0) {
            EXPECT_EQ(foundation::read_regular_file(t / "f", size - 1).error, EFBIG) << size;
        }
    }
    auto smaps = foundation::read_regular_file("/proc/self/smaps");
    ASSERT_TRUE(smaps.text) << smaps.reason;
    EXPECT_GT(smaps.text->size(), 4096u);
    EXPECT_NE(smaps.text->find("[stack]"), std::string::npos) << "stopped after the first piece";
    EXPECT_EQ(smaps.text->back(), '\n');
}

TEST(LoadFile, OffsetAndLength) {
    TempDir t;
    norvik::test::write_file(t / "f", "0123456789");
    EXPECT_EQ(foundation::load(t / "f", 3, 4), "3456");
    EXPECT_EQ(foundation::load(t / "f", 8, 100), "89");
    EXPECT_EQ(foundation::load(t / "f", 7), "789");
    auto r = foundation::load_r(t / "f", 2, 2);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, "23");
}

TEST(LoadFile, MissingAndUnreadableFilesCarryPathAndError) {
    TempDir t;
    std::string missing = t / "nope";
    try {
        foundation::load(missing);
        FAIL() << "no throw";
    } catch (const norvik::Exception& e) {
        EXPECT_EQ(e.class_name(), "Norvik::Exception::IO::FileNotFound");
        EXPECT_EQ(e.get_text("path"), missing);
        EXPECT_FALSE(e.get_text("error").empty());
        EXPECT_NE(e.to_string_no_id().find(missing), std::string::npos);
    }
    EXPECT_FALSE(foundation::load_if_exists(missing).has_value());
    EXPECT_EQ(foundation::load_r_if_exists(missing), nullptr);
    EXPECT_FALSE(foundation::loadfile(missing).has_value());
    EXPECT_FALSE(foundation::loadfileasarrayref(missing).has_value());

    // A directory opens but cannot be read: the raising readers raise even
    // in their if-exists form, the lenient ones give nothing.
    try {
        foundation::load_if_exists(t.path());
        FAIL() << "no throw";
    } catch (const norvik::Exception& e) {
        EXPECT_EQ(e.class_name(), "Norvik::Exception::IO::FileReadError");
        EXPECT_EQ(e.get_text("path"), t.path());
        EXPECT_EQ(e.get("errno"), EISDIR);
    }
    EXPECT_FALSE(foundation::loadfile(t.path()).has_value());

    try {
        foundation::load(t / "nope2", 5);
        FAIL();
    } catch (const norvik::Exception& e) {
        EXPECT_EQ(e.class_name(), "Norvik::Exception::IO::FileNotFound");
    }
}

TEST(LoadFile, LinesAndSlurp) {
    TempDir t;
    norvik::test::write_file(t / "f", "a\nbb\n\nlast");
    auto lines = foundation::loadfileasarrayref(t / "f");
    ASSERT_TRUE(lines);
    EXPECT_EQ(*lines, (std::vector<std::string>{"a\n", "bb\n", "\n", "last"}));

    int fd = open((t / "copy").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_TRUE(foundation::slurpfile(fd, t / "f"));
    EXPECT_FALSE(foundation::slurpfile(fd, t / "missing"));
    close(fd);
    EXPECT_EQ(norvik::test::read_file(t / "copy"), "a\nbb\n\nlast");
}

TEST(ReadFast, OffsetBeyondBufferPadsAndEofReturnsZero) {
    TempDir t;
    norvik::test::write_file(t / "f", "xyz");
    int fd = open((t / "f").c_str(), O_RDONLY | O_CLOEXEC);
    std::string buf = "ab";
    EXPECT_EQ(norvik::foundation::read_fast(fd, buf, 10, 4), 3u);
    EXPECT_EQ(buf, std::string("ab\0\0xyz", 7));
    EXPECT_EQ(norvik::foundation::read_fast(fd, buf, 10, buf.size()), 0u);
    EXPECT_EQ(buf.size(), 7u);
    close(fd);
    EXPECT_THROW(norvik::foundation::read_fast(-1, buf, 10, 0), norvik::Exception);
}

TEST(SysopenWithRealPerms, ExactBitsWhateverTheUmask) {
    TempDir t;
    UmaskScope scope(0077);
    int fd = norvik::foundation::sysopen_with_real_perms(t / "a", O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
    EXPECT_EQ(mode_of(t / "a"), 0644u);
    mode_t now = umask(0077);
    EXPECT_EQ(now, 0077u) << "umask changed by the open";

    // Bits above 0777 are not passed through.
    fd = norvik::foundation::sysopen_with_real_perms(t / "b", O_WRONLY | O_CREAT, 04755);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(mode_of(t / "b"), 0755u);

    // Without perms the umask applies.
    fd = norvik::foundation::sysopen_with_real_perms(t / "c", O_WRONLY | O_CREAT);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(mode_of(t / "c"), 0600u);
}

TEST(SysopenWithRealPerms, FlagNamesAreCombined) {
    TempDir t;
    norvik::test::write_file(t / "f", "old\n");
    int fd = norvik::foundation::sysopen_with_real_perms(t / "f", "&O_WRONLY|O_APPEND | CREAT", 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "new\n", 4), 4);
    close(fd);
    EXPECT_EQ(norvik::test::read_file(t / "f"), "old\nnew\n");

    EXPECT_EQ(norvik::foundation::or_flags("O_RDWR|O_TRUNC"), O_RDWR | O_TRUNC);
    EXPECT_THROW(norvik::foundation::or_flags("O_WRONLY|O_BOGUS"), norvik::PlainError);
    fd = norvik::foundation::sysopen_with_real_perms(t / "f", std::to_string(O_RDONLY));
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_THROW(norvik::foundation::sysopen_with_real_perms(t / "f", "rw"), norvik::PlainError);
}

TEST(AtomicWrite, OverwriteReplacesWithPermsUnderRestrictiveUmask) {
    TempDir t;
    UmaskScope scope(0077);
    norvik::test::write_file(t / "f", "old");
    {
        auto h = foundation::overwrite(t / "f", "new content", 0644);
        EXPECT_TRUE(h);
    }
    EXPECT_EQ(norvik::test::read_file(t / "f"), "new content");
    EXPECT_EQ(mode_of(t / "f"), 0644u);
    foundation::overwrite(t / "g", std::string("x"));
    EXPECT_EQ(mode_of(t / "g"), 0600u);
    EXPECT_EQ(dir_entries(t.path()), (std::vector<std::string>{"f", "g"}));
}

TEST(AtomicWrite, WriteToExistingPathRaisesAndLeavesNothingBehind) {
    TempDir t;
    norvik::test::write_file(t / "f", "keep");
    try {
        foundation::write_file(t / "f", "replacement");
        FAIL() << "no throw";
    } catch (const norvik::Exception& e) {
        EXPECT_EQ(e.class_name(), "Norvik::Exception::IO::LinkError");
        EXPECT_EQ(e.get("errno"), EEXIST);
    }
    EXPECT_EQ(norvik::test::read_file(t / "f"), "keep");
    EXPECT_EQ(dir_entries(t.path()), (std::vector<std::string>{"f"}));

    foundation::write_file(t / "new", "fresh");
    EXPECT_EQ(norvik::test::read_file(t / "new"), "fresh");
    struct stat st;
    ASSERT_EQ(stat((t / "new").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u) << "temporary link left behind";
    EXPECT_EQ(dir_entries(t.path()), (std::vector<std::string>{"f", "new"}));
}

TEST(AtomicWrite, FailureBeforeInstallationKeepsOldFile) {
    TempDir t;
    norvik::test::write_file(t / "f", "old");
    foundation::WriteOptions opts;
    opts.before_installation = [](int fd) {
        // The content is all there before installation.
        struct stat st;
        fstat(fd, &st);
        if (st.st_size != 9) throw std::runtime_error("size wrong");
        throw std::runtime_error("refused");
    };
    EXPECT_THROW(foundation::overwrite(t / "f", "123456789", opts), std::runtime_error);
    EXPECT_EQ(norvik::test::read_file(t / "f"), "old");
    EXPECT_EQ(dir_entries(t.path()), (std::vector<std::string>{"f"}));
}

TEST(AtomicWrite, FileSizeLimitMidWriteRaisesAndCleansUp) {
    TempDir t;
    norvik::test::write_file(t / "f", "old");
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit rl {
            1000, 1000
        };
        setrlimit(RLIMIT_FSIZE, &rl);
        try {
            foundation::overwrite(t / "f", std::string(5000, 'x'));
            _exit(2);  // should have failed
        } catch (const norvik::Exception& e) {
            _exit(e.class_name() == "Norvik::Exception::IO::FileWriteError" ? 0 : 3);
        } catch (...) {
            _exit(4);
        }
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st)) << "killed by signal " << WTERMSIG(st);
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(norvik::test::read_file(t / "f"), "old");
    EXPECT_EQ(dir_entries(t.path()), (std::vector<std::string>{"f"}));
}

TEST(AtomicWrite, MissingDirectoryRaisesAndNoExceptionsFormWarns) {
    TempDir t;
    norvik::foundation::set_root_for_testing(t.path());
    norvik::test::make_dirs(t / "usr/local/norvik/logs");
    norvik::log::set_logger(nullptr);
    norvik::LoggerArgs args;
    args.alternate_logfile = t / "warn.log";
    auto lg = norvik::Logger::create(args);
    norvik::log::set_logger(lg);
    // As the entry does: the foundation's warnings reach the logger.
    norvik::log::route_foundation_diagnostics();
    try {
        foundation::overwrite(t / "no/such/dir/f", "x");
        FAIL();
    } catch (const norvik::Exception& e) {
        EXPECT_EQ(e.class_name(), "Norvik::Exception::IO::FileCreateError");
        EXPECT_EQ(e.get("errno"), ENOENT);
    }
    EXPECT_FALSE(foundation::overwrite_no_exceptions(t / "no/such/dir/f", "x"));
    EXPECT_NE(norvik::test::read_file(t / "warn.log").find("no/such/dir"), std::string::npos);
    EXPECT_TRUE(foundation::overwrite_no_exceptions(t / "ok", "x"));
    norvik::foundation::set_warn_sink(nullptr);
    norvik::log::set_logger(nullptr);
    norvik::foundation::set_root_for_testing("");
}

TEST(AtomicWrite, WarningsGoToStandardErrorUntilRoutedAndKeepErrno) {
    TempDir t;
    norvik::foundation::set_warn_sink(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(foundation::overwrite_no_exceptions(t / "no/such/dir/f", "x"));
    errno = EACCES;
    norvik::foundation::warn("second");
    EXPECT_EQ(errno, EACCES);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no/such/dir"), std::string::npos) << err;
    EXPECT_NE(err.find("second"), std::string::npos) << err;

    std::vector<std::string> seen;
    norvik::foundation::set_warn_sink([&](const std::string& text) { seen.push_back(text); });
    EXPECT_FALSE(foundation::overwrite_no_exceptions(t / "no/such/dir/g", "x"));
    norvik::foundation::set_warn_sink(nullptr);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].find("no/such/dir/"), std::string::npos) << seen[0];
}

TEST(AtomicWrite, OverwriteThroughSymlinksReplacesTheTarget) {
    TempDir t;
    norvik::test::make_dirs(t / "real");
    norvik::test::write_file(t / "real/target", "old");
    ASSERT_EQ(symlink("real/target", (t / "hop").c_str()), 0);
    ASSERT_EQ(symlink((t / "hop").c_str(), (t / "link").c_str()), 0);
    foundation::overwrite(t / "link", "new");
    struct stat st;
    ASSERT_EQ(lstat((t / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat((t / "hop").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(norvik::test::read_file(t / "real/target"), "new");
    EXPECT_EQ(norvik::foundation::readlink_deep(t / "link"), t / "real/target");

    ASSERT_EQ(symlink("loop2", (t / "loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", (t / "loop2").c_str()), 0);
    EXPECT_THROW(norvik::foundation::readlink_deep(t / "loop1"), norvik::PlainError);
}

TEST(AtomicWrite, ContentReferencesAndBadPaths) {
    TempDir t;
    auto text = std::make_shared<const std::string>("referenced");
    foundation::overwrite(t / "f", text);
    EXPECT_EQ(norvik::test::read_file(t / "f"), "referenced");
    EXPECT_THROW(foundation::overwrite(t / "f", std::shared_ptr<const std::string>()), norvik::PlainError);
    EXPECT_EQ(norvik::test::read_file(t / "f"), "referenced");
    EXPECT_THROW(foundation::overwrite("", "x"), norvik::PlainError);
}

TEST(AtomicWrite, WriteFhRewindsAndTruncates) {
    TempDir t;
    norvik::test::write_file(t / "f", "a much longer old text");
    int fd = open((t / "f").c_str(), O_RDWR | O_CLOEXEC);
    lseek(fd, 0, SEEK_END);
    EXPECT_EQ(foundation::write_fh(fd, "short"), 1);
    close(fd);
    EXPECT_EQ(norvik::test::read_file(t / "f"), "short");
}

TEST(LoggerRoot, StandardErrorFallbackIsLeftWhenTheRootChanges) {
    TempDir bare, full;
    norvik::test::make_dirs(full / "usr/local/norvik/logs");
    norvik::LoggerArgs args;
    args.no_load_from_cache = true;
    args.log_pid = true;
    auto lg = norvik::Logger::create(args);
    int saved = dup(2);
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(devnull, 2);
    // No log directory: the entry goes to standard error.
    norvik::foundation::set_root_for_testing(bare.path());
    lg->info("first entry");
    EXPECT_TRUE(lg->usingstderr());
    // A root with the directory: the standard log there is used.
    norvik::foundation::set_root_for_testing(full.path());
    lg->info("second entry");
    EXPECT_FALSE(lg->usingstderr());
    std::string text = norvik::test::read_file(full / "usr/local/norvik/logs/error_log");
    EXPECT_NE(text.find("second entry"), std::string::npos) << text;
    // A handle set on purpose stays, whatever the root.
    lg->set_fh(2);
    norvik::foundation::set_root_for_testing(bare.path());
    lg->info("third entry");
    EXPECT_EQ(lg->get_fh(), 2);
    dup2(saved, 2);
    close(saved);
    close(devnull);
    norvik::foundation::set_root_for_testing("");
}
