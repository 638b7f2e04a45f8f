#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "output/control_chars.hpp"
#include "output/formatted_html.hpp"
#include "output/formatted_terminal.hpp"
#include "output/fmt.hpp"
#include "output/solarize.hpp"
#include "output/terminal.hpp"

using namespace norvik;

namespace {
struct Mem {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    ~Mem() {
        fclose(f);
        free(buf);
    }
    std::string text() {
        fflush(f);
        return std::string(buf, len);
    }
};
}  // namespace

TEST(Formatted, PartialThenCompleteShareOneIndentedLine) {
    Mem m;
    norvik::output::Plain o({.filehandle = m.f});
    o.increase_indent_level();
    o.out("Stopping ... ", nullptr, output::PARTIAL_MESSAGE);
    o.success("done\n");
    o.increase_indent_level();
    o.out("a\nb\nc");
    o.out("");
    EXPECT_EQ(m.text(), "\tStopping ... done\n\t\ta\n\t\tb\n\t\tc\n\t\t\n");
}

TEST(Formatted, AListOfContentsIsJoinedOneItemPerLine) {
    Mem m;
    norvik::output::Plain o({.filehandle = m.f});
    o.increase_indent_level();
    o.out(nlohmann::json::array({"first", "second", nlohmann::json{{"msg", "third"}}}));
    o.out(nlohmann::json::array({"alone"}));
    EXPECT_EQ(m.text(), "\tfirst\n\tsecond\n\tthird\n\talone\n");
}

TEST(Formatted, MessageSetHighlightsAndRestoresIndent) {
    Mem m;
    norvik::output::HTML o({.filehandle = m.f});
    o.display_message_set("Log", "fine line\nsomething error: broke\n\nwarning: low <disk>\nlog-error: no");
    std::string t = m.text();
    EXPECT_NE(t.find("norvik-header\">Log:</span>"), std::string::npos) << t;
    EXPECT_NE(t.find("norvik-error\">&nbsp;&nbsp;&nbsp;&nbsp;something error: broke"), std::string::npos) << t;
    EXPECT_NE(t.find("norvik-warn\">&nbsp;&nbsp;&nbsp;&nbsp;warning: low &lt;disk&gt;"), std::string::npos) << t;
    EXPECT_NE(t.find("norvik-out\">&nbsp;&nbsp;&nbsp;&nbsp;log-error: no"), std::string::npos) << t;
    EXPECT_EQ(o.get_indent_level(), 0);
    // One element per message.
    EXPECT_EQ(norvik::output::html_escape("<a href='x'>&\""), "&lt;a href=&#39;x&#39;&gt;&amp;&quot;");
}

// A daemon's line can be very long; the error test used to recurse per
// character on a run of blanks or a long word (found by fuzzing).
TEST(Output, HighlightingLongLinesAndTheBadNameForm) {
    Mem m;
    Output o({.filehandle = m.f});
    const std::string blanks(300000, ' '), word(300000, 'x');
    EXPECT_EQ(o.output_highlighted_message("exim:" + blanks + "bad " + word + " name"), output::TYPE_ERROR);
    EXPECT_EQ(o.output_highlighted_message("exim:" + blanks + "fine"), output::TYPE_OUT);
    EXPECT_EQ(o.output_highlighted_message("x: bad " + word), output::TYPE_OUT);
    EXPECT_EQ(o.output_highlighted_message("x:\tBAD Option NAME"), output::TYPE_ERROR);
    // The word needs to be there, with single spaces around it.
    EXPECT_EQ(o.output_highlighted_message("x: bad  name"), output::TYPE_OUT);
    EXPECT_EQ(o.output_highlighted_message("x: bad a  name"), output::TYPE_OUT);
    EXPECT_EQ(o.output_highlighted_message("x bad a name"), output::TYPE_OUT);
    EXPECT_EQ(o.output_highlighted_message("a: b: bad a named"), output::TYPE_ERROR);
}

TEST(Output, JsonLinesAndIndentFloor) {
    Mem m;
    Output o({.filehandle = m.f});
    o.warn("careful", nullptr, output::PARTIAL_MESSAGE);
    auto rec = nlohmann::json::parse(m.text());
    EXPECT_EQ(rec["type"], "warn");
    EXPECT_EQ(rec["contents"], "careful");
    EXPECT_EQ(rec["partial"], 1);
    EXPECT_EQ(o.decrease_indent_level(), 0);
    EXPECT_FALSE(o.debug("hidden"));
}

TEST(Solarize, ColourCountAndSafety) {
    norvik::output::set_INFOCMP_BIN("/nonexistent/infocmp");
    EXPECT_EQ(norvik::output::get_max_colors_for_terminal("xterm-256color").value_or(0), 256);
    EXPECT_FALSE(norvik::output::get_max_colors_for_terminal("dumb-ish"));
    EXPECT_FALSE(norvik::output::get_max_colors_for_terminal(""));
    setenv("TERM", "xterm-256color", 1);
    norvik::output::forget_captured_environment();
    norvik::output::clear_caches();
    norvik::output::set_safe_to_colorize_for_testing(true);
    EXPECT_EQ(norvik::output::colored(std::vector<std::string>{"bold red"}, std::vector<std::string>{"x"}),
              "\033[1;38;5;160mx\033[0m");
    setenv("TERM", "xterm-16color", 1);
    norvik::output::clear_caches();
    EXPECT_EQ(norvik::output::colored(std::vector<std::string>{"violet"}, std::vector<std::string>{"x"}),
              "\033[95mx\033[0m");
    norvik::output::set_safe_to_colorize_for_testing(false);
    norvik::output::clear_caches();
    EXPECT_EQ(norvik::output::colored(std::vector<std::string>{"red"}, std::vector<std::string>{"x", "y"}), "xy");
    norvik::output::set_safe_to_colorize_for_testing(std::nullopt);
}

TEST(Terminal, ColourCountFromTheRealCapabilityTool) {
    ASSERT_EQ(access("/usr/bin/infocmp", X_OK), 0) << "infocmp is needed (scripts/install-deps installs it)";
    norvik::output::set_INFOCMP_BIN("/usr/bin/infocmp");
    const std::pair<const char*, int> cases[] = {
        {"xterm-256color", 256},
        {"screen-256color", 256},
        {"tmux-256color", 256},
        {"xterm", 8},
        {"linux", 8},
        // No number in the name: only the tool's hexadecimal answer can give this.
        {"xterm-direct", 16777216},
    };
    for (const auto& [name, colors] : cases)
        EXPECT_EQ(norvik::output::get_max_colors_for_terminal(name).value_or(-1), colors) << name;
    norvik::output::_clear_cache();
}

TEST(Terminal, MaxColorsInEveryBaseTheToolWrites) {
    EXPECT_EQ(norvik::output::parse_max_colors("\tmax_colors#0x100,\n").value_or(-1), 256);
    EXPECT_EQ(norvik::output::parse_max_colors("\tmax_colors#0400,\n").value_or(-1), 256);
    EXPECT_EQ(norvik::output::parse_max_colors("\tmax_colors#88,\n").value_or(-1), 88);
    EXPECT_EQ(norvik::output::parse_max_colors("colors#8, max_colors#16").value_or(-1), 16);
    // Nothing usable: the caller falls back to the name.
    for (const char* bad : {"max_colors#0,", "max_colors#,", "max_colors#0x,", "max_colors#12abc,",
                            "max_colors#99999999999999999999,", "max_colors#-5,", "colors#256,"})
        EXPECT_FALSE(norvik::output::parse_max_colors(bad)) << bad;
}

TEST(Terminal, NeverColoursAFileOrWithNoColor) {
    Mem m;
    norvik::output::set_safe_to_colorize_for_testing(true);
    norvik::output::Terminal o({.filehandle = m.f});
    o.error("bad");
    EXPECT_EQ(m.text(), "bad\n");
    setenv("NO_COLOR", "1", 1);
    norvik::output::forget_captured_environment();
    norvik::output::Terminal::_clear_cache();
    EXPECT_TRUE(norvik::output::Terminal::color_disabled());
    unsetenv("NO_COLOR");
    norvik::output::Terminal::_clear_cache();
    norvik::output::set_safe_to_colorize_for_testing(std::nullopt);
}

TEST(Fmt, FixedLengthCountsCharacters) {
    EXPECT_EQ(norvik::output::fixed_length("42", 6, norvik::output::ALIGN_RIGHT), "    42");
    EXPECT_EQ(norvik::output::fixed_length("h\xc3\xa9llo", 3), "h\xc3\xa9l");
    EXPECT_EQ(norvik::output::fixed_length("ab", 4), "ab  ");
}

// Text from outside (logs, command lines) must never drive the terminal:
// controls become visible, valid text stays as it is.
TEST(ControlCharacters, ReplacedVisiblyWhileValidTextStays) {
    using output::replace_control_characters;
    EXPECT_EQ(replace_control_characters("\x1b]0;title\x07\x1b[2J"), "\\x1b]0;title\\x07\\x1b[2J");
    EXPECT_EQ(replace_control_characters("a\rb\x7f\x01"), "a\\x0db\\x7f\\x01");
    EXPECT_EQ(replace_control_characters("two\nlines"), "two\\x0alines");
    EXPECT_EQ(replace_control_characters("two\nlines", true), "two\nlines");
    EXPECT_EQ(replace_control_characters("tab\tstays"), "tab\tstays");
    // C1 controls, as UTF-8 and as lone bytes; broken and overlong UTF-8.
    EXPECT_EQ(replace_control_characters("csi \xc2\x9b"
                                         "31m"),
              "csi \\x9b31m");
    EXPECT_EQ(replace_control_characters("lone \x9b"
                                         "31m"),
              "lone \\x9b31m");
    EXPECT_EQ(replace_control_characters("cut \xe2\x82"), "cut \\xe2\\x82");
    EXPECT_EQ(replace_control_characters("overlong \xc0\xaf \xe0\x80\xaf"), "overlong \\xc0\\xaf \\xe0\\x80\\xaf");
    const std::string valid = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82 \xc2\xa0nbsp";
    EXPECT_EQ(replace_control_characters(valid), valid);
}

TEST(ControlCharacters, EveryFormatterShowsThemInert) {
    const std::string evil = "log \x1b[2J\x1b]0;pwned\x07 <b>";
    Mem plain_mem, html_mem;
    norvik::output::Plain plain({.filehandle = plain_mem.f});
    norvik::output::HTML html({.filehandle = html_mem.f});
    for (Output* o : {static_cast<Output*>(&plain), static_cast<Output*>(&html)}) {
        o->display_message_set("Log Messages", evil + "\nsecond\x1b[1A line");
        o->message("unknown-type", evil);
    }
    const std::string p = plain_mem.text(), h = html_mem.text();
    for (const std::string& t : {p, h}) {
        EXPECT_EQ(t.find('\x1b'), std::string::npos) << t;
        EXPECT_EQ(t.find('\x07'), std::string::npos) << t;
        EXPECT_NE(t.find("\\x1b[2J\\x1b]0;pwned\\x07"), std::string::npos) << t;
        EXPECT_NE(t.find("second\\x1b[1A line"), std::string::npos) << t;
    }
    EXPECT_NE(p.find("<b>"), std::string::npos);
    EXPECT_EQ(h.find("<b>"), std::string::npos);
    EXPECT_NE(h.find("&lt;b&gt;"), std::string::npos);
}

#include <fcntl.h>
#include <pty.h>

#include <chrono>
#include <thread>

namespace {
std::string drain(int fd) {
    std::string all;
    char buf[256];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) all.append(buf, static_cast<size_t>(n));
    return all;
}
}  // namespace

// An open line on a terminal gets a dot for every interval nothing is
// written; a closed line gets none.
TEST(TerminalProgress, DotsWhileALineStaysOpenOnATerminal) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    FILE* tty = ::fdopen(slave, "w");
    ASSERT_NE(tty, nullptr);
    norvik::output::Terminal::set_progress_interval_ms(60);
    {
        norvik::output::Terminal on_tty(output::OutputOptions{.filehandle = tty});
        on_tty.out("Waiting ", nullptr, output::PARTIAL_MESSAGE);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        on_tty.out("done");
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    norvik::output::Terminal::set_progress_interval_ms(1000);
    std::string shown = drain(master);
    ::fclose(tty);
    ::close(master);
    const auto dots = shown.find("done");
    ASSERT_NE(dots, std::string::npos) << shown;
    EXPECT_GE(std::count(shown.begin(), shown.begin() + static_cast<long>(dots), '.'), 3) << shown;
    EXPECT_EQ(shown.find('.', dots), std::string::npos) << shown;
}
