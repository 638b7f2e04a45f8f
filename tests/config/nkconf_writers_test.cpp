// The main configuration under concurrent writers, and settings files that
// are not what they should be (a FIFO, a link to a device).
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <functional>

#include <gtest/gtest.h>

#include "config/load_config.hpp"
#include "config/nkconf.hpp"
#include "config/nkconf_guard.hpp"
#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "log/debug.hpp"
#include "log/logger.hpp"
#include "os/release_probe.hpp"
#include "service/definition.hpp"
#include "support/test_support.hpp"

namespace {

using norvik::config::NkConf;
using norvik::config::NkConfGuard;
namespace foundation = norvik::foundation;
namespace config = norvik::config;

void set_mtime(const std::string& path, time_t t) { ASSERT_TRUE(norvik::test::set_mtime(path, t)) << path; }

// Runs `body` in a forked child that must exit 0 within `seconds`; a child
// that hangs is killed by its alarm.
int in_child(const std::function<int()>& body, unsigned seconds = 10) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        int rc = 99;
        try {
            rc = body();
        } catch (const std::exception& e) {
            fprintf(stderr, "child: %s\n", norvik::exception::get_string(e).c_str());
            rc = 98;
        } catch (...) {
            rc = 97;
        }
        _exit(rc);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

class NkConfWriters : public ::testing::Test {
protected:
    void SetUp() override {
        foundation::set_root_for_testing(tmp.path());
        norvik::test::make_dirs(tmp / "var/norvik");
        NkConfGuard::set_memory_only(std::nullopt);
        NkConfGuard::clearcache();
        norvik::log::set_logger(nullptr);
        norvik::LoggerArgs args;
        args.alternate_logfile = log_path();
        norvik::log::set_logger(norvik::Logger::create(args));
    }
    void TearDown() override {
        NkConfGuard::clearcache();
        norvik::log::set_logger(nullptr);
        foundation::set_root_for_testing("");
    }
    std::string log_path() const { return tmp / "test.log"; }
    std::string log_text() const {
        return norvik::test::exists(log_path()) ? norvik::test::read_file(log_path()) : std::string();
    }
    // The usual state: the main file and a current cache of it.
    void write_current(const std::string& text, const std::string& json) {
        norvik::test::write_file(foundation::main_config(), text, 0644);
        norvik::test::write_file(foundation::main_config_cache(), json, 0644);
        const time_t base = std::time(nullptr) - 100;
        set_mtime(foundation::main_config(), base);
        set_mtime(foundation::main_config_cache(), base + 1);
    }
    static NkConfGuard::Options writer() {
        NkConfGuard::Options o;
        o.use_lock = true;
        return o;
    }
    norvik::test::TempDir tmp{"nkwriters"};
};

}  // namespace

TEST_F(NkConfWriters, TwoWritersInTwoProcessesLoseNoKey) {
    write_current("skipmailman=0\na=0\n", R"({"skipmailman":"0","a":"0"})");
    ASSERT_EQ(NkConfGuard::get_cache().second, true) << "the cache must be current for this case";
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    // The first writer holds its guard a while before it saves.
    pid_t first = fork();
    if (first == 0) {
        NkConfGuard::clearcache();
        NkConfGuard g(writer());
        g.set("a", "1");
        g.set("a2", "3");
        if (write(ready[1], "x", 1) != 1) _exit(2);
        usleep(400 * 1000);
        g.save();
        _exit(0);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    const int second = in_child([&] {
        NkConfGuard::clearcache();
        NkConfGuard g(writer());
        g.set("b", "2");
        g.save();
        return 0;
    });
    int st = 0;
    waitpid(first, &st, 0);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    ASSERT_EQ(second, 0);
    NkConfGuard::clearcache();
    const NkConf conf = config::loadnkconf();
    EXPECT_EQ(conf.count("a") ? conf.at("a") : "", "1");
    EXPECT_EQ(conf.count("a2") ? conf.at("a2") : "", "3");
    EXPECT_EQ(conf.count("b") ? conf.at("b") : "", "2") << norvik::test::read_file(foundation::main_config());
    // And the cache the second writer left is current and agrees.
    auto [cache, valid] = NkConfGuard::get_cache();
    EXPECT_EQ(valid, 1);
    ASSERT_TRUE(cache);
    EXPECT_EQ(*cache, conf);
}

TEST_F(NkConfWriters, ACacheRewriteDoesNotStampAChangeMadeMeanwhileAsCurrent) {
    if (geteuid() != 0) GTEST_SKIP() << "the cache is rewritten by root runs only";
    // A stale cache: the reading guard will rewrite it at release.
    norvik::test::write_file(foundation::main_config(), "skipmailman=0\nk=old\n", 0644);
    norvik::test::write_file(foundation::main_config_cache(), R"({"k":"older"})", 0644);
    const time_t base = std::time(nullptr) - 100;
    set_mtime(foundation::main_config(), base);
    set_mtime(foundation::main_config_cache(), base + 5);
    {
        NkConfGuard::Options o;
        o.loadnkconf = true;
        NkConfGuard reader(o);
        ASSERT_EQ(reader.is_locked(), true);
        EXPECT_EQ(reader.config_copy().at("k"), "old");
        // The admin edits the file while the guard holds what it read.
        norvik::test::write_file(foundation::main_config(), "skipmailman=0\nk=new\n", 0644);
        set_mtime(foundation::main_config(), base + 50);
    }
    NkConfGuard::clearcache();
    EXPECT_EQ(config::get("k"), "new") << "old values were stamped current";
    // Without an edit in between, the rewrite happens, under the lock.
    NkConfGuard::clearcache();
    { NkConfGuard reader(NkConfGuard::Options{true, true, false}); }
    NkConfGuard::clearcache();
    auto [cache, valid] = NkConfGuard::get_cache();
    EXPECT_EQ(valid, 1);
    ASSERT_TRUE(cache);
    EXPECT_EQ(cache->at("k"), "new");
}

TEST_F(NkConfWriters, SaveKeepsCommentsAndOrderAndNamesUnusualKeys) {
    const std::string before =
        "# kept by the admin\n"
        "zeta=1\n"
        "\n"
        "alpha = 2\n"
        "weird key!=x\n"
        "skipmailman=0\n"
        "alpha=2\n"
        "last=no line end";
    norvik::test::write_file(foundation::main_config(), before, 0644);
    {
        NkConfGuard g(writer());
        EXPECT_EQ(g.config_copy().at("weird key!"), "x") << "a key with unusual characters was dropped";
        g.set("alpha", "3");
        g.set("fresh", "4");
        g.set("bad key", "5");
        g.set("multi", "a\nb");
        g.save();
    }
    EXPECT_EQ(norvik::test::read_file(foundation::main_config()),
              "# kept by the admin\n"
              "zeta=1\n"
              "\n"
              "alpha=3\n"
              "weird key!=x\n"
              "skipmailman=0\n"
              "alpha=3\n"
              "last=no line end\n"
              "fresh=4\n");
    const std::string log = log_text();
    EXPECT_NE(log.find("“weird key!”"), std::string::npos) << log;
    EXPECT_NE(log.find("“bad key”"), std::string::npos) << log;
    EXPECT_NE(log.find("“multi”"), std::string::npos) << log;
}

TEST_F(NkConfWriters, MainFileOrCacheLinkedToDevZeroIsRefusedAndReadAsEmpty) {
    ASSERT_EQ(symlink("/dev/zero", foundation::main_config().c_str()), 0);
    ASSERT_EQ(in_child([] { return config::loadnkconf().empty() ? 0 : 1; }), 0);
    ASSERT_EQ(in_child([&] {
                  NkConfGuard g(writer());
                  if (!g.config_copy().empty()) return 1;
                  g.set("x", "1");
                  try {
                      g.save();
                  } catch (const norvik::PlainError&) {
                      return 0;  // nothing is written through the link
                  }
                  return 2;
              }),
              0);
    EXPECT_NE(log_text().find("is not a regular file"), std::string::npos) << log_text();
    struct stat st {};
    ASSERT_EQ(lstat(foundation::main_config().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // A cache linked to /dev/zero is skipped for the main file.
    unlink(foundation::main_config().c_str());
    norvik::test::write_file(foundation::main_config(), "k=main\n", 0644);
    ASSERT_EQ(symlink("/dev/zero", foundation::main_config_cache().c_str()), 0);
    EXPECT_EQ(in_child([] {
                  NkConfGuard::Options o;
                  o.loadnkconf = true;
                  o.use_lock = false;
                  return NkConfGuard(o).config_copy().at("k") == "main" ? 0 : 1;
              }),
              0);
}

TEST_F(NkConfWriters, LargerThanTheLimitIsRefused) {
    norvik::test::write_file(foundation::main_config(), "k=v\n", 0644);
    ASSERT_EQ(truncate(foundation::main_config().c_str(), 17 * 1024 * 1024), 0);
    EXPECT_EQ(in_child([] { return config::loadnkconf().empty() ? 0 : 1; }), 0);
    EXPECT_NE(log_text().find("is larger than 16777216 bytes"), std::string::npos) << log_text();
}

TEST_F(NkConfWriters, FifoInPlaceOfEachSettingsFileNeverHangs) {
    norvik::test::make_dirs(foundation::custom_services_dir());
    norvik::test::make_dirs(tmp / "etc");
    for (const auto& p : {foundation::main_config(), foundation::main_config_cache(),
                          foundation::custom_services_dir() + "/Fifo.json", foundation::os_release()})
        ASSERT_EQ(mkfifo(p.c_str(), 0644), 0) << p;
    // Main file and cache: read as empty.
    EXPECT_EQ(in_child([] { return config::loadnkconf().empty() ? 0 : 1; }), 0);
    EXPECT_EQ(in_child([] {
                  NkConfGuard g(writer());
                  return g.config_copy().empty() ? 0 : 1;
              }),
              0);
    // A service definition: refused as a definition that cannot be loaded.
    EXPECT_EQ(in_child([] {
                  try {
                      norvik::service::Definition::find("Fifo");
                  } catch (const norvik::PlainError& e) {
                      return e.text().find("not a regular file") != std::string::npos ? 0 : 1;
                  }
                  return 2;
              }),
              0);
    // The release file: refused like one whose distribution cannot be made out.
    EXPECT_EQ(in_child([] {
                  try {
                      norvik::os::_read_os_release();
                  } catch (const norvik::PlainError& e) {
                      return e.text().find("not a regular file") != std::string::npos ? 0 : 1;
                  }
                  return 2;
              }),
              0);
}
