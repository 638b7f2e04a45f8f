// Security properties of real runs: no value ever reaches a shell, and the
// state the tool creates is private to root whatever the caller's umask.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "rel_sandbox.hpp"

using namespace norvik::reltest;

namespace {

// One text holding several ways a shell would run `touch`; each creates
// its own marker below `dir` if anything ever hands the text to a shell.
std::string payload(const std::string& dir, const std::string& tag) {
    const std::string m = dir + "/" + tag;
    return "x$(touch " + m + "-1)`touch " + m + "-2`;touch " + m + "-3|touch " + m + "-4&&touch " + m + "-5\ntouch " +
           m + "-6";
}

std::string listing(const std::string& dir) {
    std::string out;
    for (const auto& p : tree(dir)) out += "\n  " + p;
    return out;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777;
}

// Restores the process's file-creation mask on scope exit.
struct UmaskScope {
    mode_t saved;
    explicit UmaskScope(mode_t m) : saved(::umask(m)) {}
    ~UmaskScope() { ::umask(saved); }
};

}  // namespace

TEST(Security, ShellMetacharactersInArgumentsEnvironmentAndDefinitionsRunNothing) {
    Sandbox s;
    const std::string marks = s.dir() + "/marks";
    norvik::test::make_dirs(marks, 0755);
    auto P = [&](const std::string& tag) { return payload(marks, tag); };
    std::vector<std::string> outputs;
    auto run = [&](const std::vector<std::string>& args, std::map<std::string, std::string> env = {}) {
        auto r = s.rs(args, true, 60, env);
        EXPECT_EQ(r.signal, 0) << all(r);
        outputs.push_back(all(r));
        return r;
    };

    // Arguments.
    run({"--status", P("arg-status")});
    run({P("arg-word")});
    run({"--restart-attempt=" + P("arg-attempt")});
    run({"--graceful=" + P("arg-graceful")});
    run({"--systemd-service=" + P("arg-unit"), "--stop"});
    auto r = norvik::test::run(norvik::test::binary(), {"restartsrv_base", "nkdemo", P("arg-base")},
                               {{"NORVIK_ROOT", s.root()}}, 30);
    EXPECT_EQ(r.signal, 0);

    // The environment.
    std::map<std::string, std::string> env = {
        {"TZ", P("env-tz")},
        {"LANG", P("env-lang")},
        {"TERM", P("env-term")},
        {"NORVIK_BASE_INSTALL", P("env-base")},
        {"RESTARTSRV_CHECKMODE_HEADER", P("env-header")},
        {"HOME", P("env-home")},
        {"PATH", "/" + P("env-path") + ":/usr/bin:/bin"},
    };
    run({"hard"}, env);
    run({"--check"}, env);
    run({"--stop"}, env);

    // Service definition values: hooks, actions and attributes.
    auto cmd = [&](const std::string& tag) { return std::vector<std::string>{"/bin/echo", P(tag)}; };
    s.write_definition({}, {{"hooks",
                             {{"start_check", cmd("hook-start")},
                              {"stop_check", cmd("hook-stop")},
                              {"restart_check", cmd("hook-restart")},
                              {"restart_attempt", cmd("hook-attempt")},
                              {"pidfile_precheck", cmd("hook-pidfile")}}},
                            {"actions", {{"hello", cmd("action")}}}});
    run({"hard"});
    run({"hard"});
    run({"--restart-attempt=2"});
    r = run({"hello"});
    EXPECT_NE(r.out.find("touch " + marks), std::string::npos) << "the action did not run: " << all(r);
    run({"--stop"});

    s.write_definition({{"pid_exe", P("attr-pid-exe")},
                        {"doomed_rules", {P("attr-rules")}},
                        {"startup_args", {P("attr-startup")}},
                        {"restart_args", {P("attr-restart")}},
                        {"shutdown_args", {P("attr-shutdown")}},
                        {"processowner", P("attr-owner")}});
    s.kill_daemons();
    run({"hard"});
    run({"hard"});
    run({"--reload"});
    run({"--stop"});

    s.kill_daemons();
    // A Debian release, so that the package names reach the package tool.
    norvik::test::write_file(s.root() + "/etc/os-release", "ID=debian\nVERSION_ID=\"12\"\nNAME=\"Debian GNU/Linux\"\n");
    s.write_definition({{"service_binary", "/nonexistent/" + P("attr-binary")},
                        {"service_package", {P("attr-package"), "nkdemo-" + P("attr-package2")}},
                        {"pidfile", s.root() + "/var/run/" + P("attr-pidfile")}});
    run({"hard"});
    run({"--status"});
    run({"--stop"});

    // A PID file whose content is such a text.
    s.kill_daemons();
    s.write_definition({});
    norvik::test::write_file(s.pidfile(), P("pidfile-content") + "\n", 0644);
    run({"--stop"});
    norvik::test::write_file(s.pidfile(), P("pidfile-content2") + "\n", 0644);
    run({"hard"});
    run({"--stop"});

    std::string joined;
    for (const auto& o : outputs) joined += o + "\n----\n";
    EXPECT_TRUE(tree(marks).empty()) << "a shell ran: markers created:" << listing(marks) << "\n" << joined;
}

TEST(Security, CreatedStateIsPrivateEvenUnderUmaskZero) {
    Sandbox s;
    // Let the tool create its lock directory itself.
    ASSERT_EQ(::rmdir((s.root() + "/var/norvik/restartsrv/locks").c_str()), 0);
    ASSERT_EQ(::rmdir((s.root() + "/var/norvik/restartsrv").c_str()), 0);
    const auto before = tree(s.root());
    {
        UmaskScope open_umask(0);
        auto r = s.rs({"hard", "--verbose"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        r = s.rs({"--stop"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        r = s.rs({"--status"});
        EXPECT_NE(r.exit_code, 0) << all(r);
        // A package query brings the operating-system and package caches in.
        norvik::test::write_file(s.root() + "/etc/os-release", "ID=debian\nVERSION_ID=\"12\"\n");
        s.write_definition({{"service_binary", s.root() + "/usr/sbin/nkdemo-missing"},
                            {"service_package", {"nkdemo-missing-package"}}});
        r = s.rs({"hard"});
        EXPECT_EQ(r.exit_code, 255) << all(r);
        EXPECT_TRUE(norvik::test::exists(s.root() + "/var/norvik/caches")) << all(r);
    }
    const std::string root = s.root();
    struct Want {
        const char* path;
        mode_t mode;
    };
    for (const Want& w :
         {Want{"/var/norvik/restartsrv/locks", 0700}, Want{"/var/norvik/restartsrv/locks/nkdemo", 0600},
          Want{"/var/norvik/restartsrv/startup_logs", 0700}, Want{"/var/norvik/restartsrv/startup_logs/nkdemo", 0600},
          Want{"/var/norvik/servmon/suspended", 0700}, Want{"/var/norvik/servmon/suspended/nkdemo", 0600},
          Want{"/usr/local/norvik/logs/error_log", 0600}}) {
        ASSERT_TRUE(norvik::test::exists(root + w.path)) << w.path << " was not created";
        EXPECT_EQ(mode_of(root + w.path), w.mode) << w.path << std::oct << " has mode " << mode_of(root + w.path);
    }
    // Caches the run made for itself: directories 0700, files 0600.
    if (norvik::test::exists(root + "/var/norvik/pw.cache")) {
        EXPECT_EQ(mode_of(root + "/var/norvik/pw.cache"), 0700u);
        for (const auto& p : tree(root + "/var/norvik/pw.cache"))
            EXPECT_EQ(mode_of(root + "/var/norvik/pw.cache" + p), 0600u) << p;
    }
    // Nothing the runs created is writable by anyone but its owner.
    for (const auto& p : tree(root)) {
        if (before.count(p)) continue;
        struct stat st {};
        if (::lstat((root + p).c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
        EXPECT_EQ(st.st_mode & 022, 0u) << p << std::oct << " has mode " << (st.st_mode & 07777);
        EXPECT_EQ(st.st_uid, ::geteuid()) << p;
    }
}
