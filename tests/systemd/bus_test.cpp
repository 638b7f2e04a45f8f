// The wire side of the state reads from systemd's socket: object paths, the
// call we send, and the decoding of a property reply, malformed ones too.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "systemd/bus.hpp"

namespace systemd = norvik::systemd;

namespace {

// A little-endian marshaller for the reply bodies of the tests.
struct Body {
    std::string b;
    void pad(size_t a) {
        while (b.size() % a) b.push_back('\0');
    }
    void u32(uint32_t v) {
        pad(4);
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
    void u64(uint64_t v) {
        pad(8);
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
    void str(const std::string& s) {
        u32(static_cast<uint32_t>(s.size()));
        b += s;
        b.push_back('\0');
    }
    void sig(const std::string& s) {
        b.push_back(static_cast<char>(s.size()));
        b += s;
        b.push_back('\0');
    }
    // Opens an array whose elements align to `align`; close() sets its length.
    size_t open(size_t align) {
        u32(0);
        const size_t at = b.size() - 4;
        pad(align);
        starts.push_back(b.size());
        return at;
    }
    void close(size_t at) {
        const uint32_t len = static_cast<uint32_t>(b.size() - starts.back());
        starts.pop_back();
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((len >> (8 * i)) & 0xff);
    }
    void entry(const std::string& name, const std::string& type) {
        pad(8);
        str(name);
        sig(type);
    }
    std::vector<size_t> starts;
};

// A reply like systemd's: strings, numbers, a list, a boolean, and a
// property of nested structures that must be skipped correctly.
std::string sample_reply() {
    Body r;
    size_t all = r.open(8);
    r.entry("Id", "s");
    r.str("apache2.service");
    r.entry("ExecStart", "a(sasbttttuii)");
    size_t ex = r.open(8);
    r.pad(8);
    r.str("/usr/sbin/apachectl");
    size_t argv = r.open(4);
    r.str("/usr/sbin/apachectl");
    r.str("start");
    r.close(argv);
    r.u32(0);  // b
    for (int i = 0; i < 4; ++i) r.u64(1000 + i);
    r.u32(42);
    r.u32(static_cast<uint32_t>(-1));
    r.u32(0);
    r.close(ex);
    r.entry("MainPID", "u");
    r.u32(4242);
    r.entry("ExecMainStatus", "i");
    r.u32(static_cast<uint32_t>(-3));
    r.entry("TriggeredBy", "as");
    size_t tb = r.open(4);
    r.str("nk.socket");
    r.str("nk.path");
    r.close(tb);
    r.entry("Wants", "as");
    size_t empty = r.open(4);
    r.close(empty);
    r.entry("CanReload", "b");
    r.u32(1);
    r.entry("MemoryCurrent", "t");
    r.u64(18446744073709551615ull);
    r.entry("ActiveState", "s");
    r.str("active");
    r.close(all);
    return r.b;
}

}  // namespace

TEST(SystemdBus, ObjectPathsEscapeEveryByteOutsideLettersAndDigits) {
    EXPECT_EQ(systemd::bus_object_path("apache2.service"), "/org/freedesktop/systemd1/unit/apache2_2eservice");
    EXPECT_EQ(systemd::bus_object_path("rs-forking.service"), "/org/freedesktop/systemd1/unit/rs_2dforking_2eservice");
    EXPECT_EQ(systemd::bus_object_path("a_b@c\xff.service"), "/org/freedesktop/systemd1/unit/a_5fb_40c_ff_2eservice");
    EXPECT_EQ(systemd::bus_object_path(""), "/org/freedesktop/systemd1/unit/_");
}

TEST(SystemdBus, CallHeaderAndBodyAreLaidOutForTheWire) {
    const std::string m = systemd::encode_call(7, "/o", "i.f", "M", "d.e", "arg");
    ASSERT_GE(m.size(), 16u);
    EXPECT_EQ(m.substr(0, 4), std::string("l\1\0\1", 4));
    const auto u32 = [&](size_t at) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(m[at + i])) << (8 * i);
        return v;
    };
    EXPECT_EQ(u32(8), 7u);
    const uint32_t fields = u32(12), body = u32(4);
    const size_t body_at = (16 + fields + 7) / 8 * 8;
    ASSERT_EQ(m.size(), body_at + body);
    EXPECT_EQ(body, 4u + 3u + 1u);
    EXPECT_EQ(m.substr(body_at + 4), std::string("arg\0", 4));
    // Every field is there, with its type, and the body's signature is "s".
    for (const std::string& f : {std::string("\1\1o\0", 4), std::string("\2\1s\0", 4), std::string("\3\1s\0", 4),
                                 std::string("\6\1s\0", 4), std::string("\10\1g\0\1s\0", 7)})
        EXPECT_NE(m.find(f), std::string::npos);
    EXPECT_EQ(body_at % 8, 0u);
}

TEST(SystemdBus, PropertiesAreTextAsSystemctlPrintsThem) {
    const auto rec =
        systemd::decode_properties(sample_reply(), {"Id", "MainPID", "ExecMainStatus", "TriggeredBy", "Wants",
                                                    "CanReload", "MemoryCurrent", "ActiveState", "Absent"});
    ASSERT_TRUE(rec);
    const systemd::UnitRecord want = {{"Id", "apache2.service"},
                                      {"MainPID", "4242"},
                                      {"ExecMainStatus", "-3"},
                                      {"TriggeredBy", "nk.socket nk.path"},
                                      {"Wants", ""},
                                      {"CanReload", "yes"},
                                      {"MemoryCurrent", "18446744073709551615"},
                                      {"ActiveState", "active"}};
    EXPECT_EQ(*rec, want);
    // Only what was asked for.
    EXPECT_EQ(systemd::decode_properties(sample_reply(), {"ActiveState"})->size(), 1u);
}

TEST(SystemdBus, MalformedRepliesAreRefusedNotMisread) {
    const std::string good = sample_reply();
    // Cut anywhere, the reply is refused (the array length no longer fits).
    for (size_t n = 0; n < good.size(); ++n)
        EXPECT_FALSE(systemd::decode_properties(good.substr(0, n), {"Id", "ActiveState"})) << n;
    // Lengths that point past the end, bad signatures, deep nesting.
    std::string bad = good;
    bad[9] = '\x7f';  // the first name's length, far past the end
    EXPECT_FALSE(systemd::decode_properties(bad, {"Id"}));
    Body v;
    size_t all = v.open(8);
    v.entry("X", "q(");
    v.close(all);
    EXPECT_FALSE(systemd::decode_properties(v.b, {"X"}));
    Body deep;
    all = deep.open(8);
    deep.entry("Deep", std::string(200, 'a') + "y");
    for (int i = 0; i < 40; ++i) deep.open(4);
    deep.close(all);
    EXPECT_FALSE(systemd::decode_properties(deep.b, {"Deep"}));
}
