#include "systemd/bus.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "foundation/paths.hpp"

namespace norvik::systemd {

namespace {

// systemd answers a property read in well under a millisecond; a bus that
// is this slow is busy, and systemctl may as well wait for it instead.
constexpr int ANSWER_TIMEOUT_MS = 5000;
// A unit's full property set is some tens of KiB.
constexpr size_t MAX_MESSAGE = 16u << 20;
constexpr int MAX_DEPTH = 32;

constexpr char METHOD_CALL = 1, METHOD_RETURN = 2, ERROR_REPLY = 3;
constexpr char FIELD_PATH = 1, FIELD_INTERFACE = 2, FIELD_MEMBER = 3, FIELD_REPLY_SERIAL = 5, FIELD_DESTINATION = 6,
               FIELD_SIGNATURE = 8;

void pad_to(std::string& m, size_t a) {
    while (m.size() % a) m.push_back('\0');
}
void put_u32(std::string& m, uint32_t v) {
    for (int i = 0; i < 4; ++i) m.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void set_u32(std::string& m, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) m[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}
void put_string(std::string& m, const std::string& s) {
    pad_to(m, 4);
    put_u32(m, static_cast<uint32_t>(s.size()));
    m += s;
    m.push_back('\0');
}
void put_signature(std::string& m, const std::string& s) {
    m.push_back(static_cast<char>(s.size()));
    m += s;
    m.push_back('\0');
}
void put_field(std::string& m, char code, char type, const std::string& value) {
    pad_to(m, 8);
    m.push_back(code);
    put_signature(m, std::string(1, type));
    if (type == 'g') put_signature(m, value);
    else put_string(m, value);
}

size_t alignment_of(char t) {
    switch (t) {
        case 'y':
        case 'g':
        case 'v':
            return 1;
        case 'n':
        case 'q':
            return 2;
        case 'x':
        case 't':
        case 'd':
        case '(':
        case '{':
            return 8;
        default:
            return 4;
    }
}

bool is_basic(char t) { return std::strchr("ybnqiuxtdsogh", t) != nullptr; }

// Walks marshalled values of a little-endian message; any fault (a short
// buffer, a bad signature, nesting too deep) sets ok and stops.
class Reader {
public:
    Reader(const std::string& buf, size_t pos, size_t end) : b_(buf), pos_(pos), end_(end) {}
    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }

    bool align(size_t a) {
        size_t p = (pos_ + a - 1) / a * a;
        if (p > end_) return fail();
        pos_ = p;
        return true;
    }
    uint64_t uint(size_t n) {
        if (!align(n) || end_ - pos_ < n) return fail(), 0;
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(b_[pos_ + i])) << (8 * i);
        pos_ += n;
        return v;
    }
    std::string text(size_t len_bytes) {
        uint64_t len = uint(len_bytes);
        if (!ok_ || end_ - pos_ < len + 1 || b_[pos_ + len] != '\0') return fail(), std::string();
        std::string s = b_.substr(pos_, len);
        pos_ += len + 1;
        return s;
    }

    // One complete type of sig at si (si moves past it); its value as
    // systemctl prints it when out is given and the type is basic or an
    // array of basic values.
    void value(const std::string& sig, size_t& si, std::string* out, int depth = 0) {
        if (!ok_ || si >= sig.size() || depth > MAX_DEPTH) return (void)fail();
        const char t = sig[si++];
        char num[32];
        switch (t) {
            case 'y':
                set(out, std::to_string(uint(1)));
                return;
            case 'b':
                set(out, uint(4) ? "yes" : "no");
                return;
            case 'n':
                set(out, std::to_string(static_cast<int16_t>(uint(2))));
                return;
            case 'q':
                set(out, std::to_string(uint(2)));
                return;
            case 'i':
                set(out, std::to_string(static_cast<int32_t>(uint(4))));
                return;
            case 'u':
            case 'h':
                set(out, std::to_string(uint(4)));
                return;
            case 'x':
                set(out, std::to_string(static_cast<int64_t>(uint(8))));
                return;
            case 't':
                set(out, std::to_string(uint(8)));
                return;
            case 'd': {
                uint64_t bits = uint(8);
                double d;
                std::memcpy(&d, &bits, sizeof d);
                std::snprintf(num, sizeof num, "%g", d);
                set(out, num);
                return;
            }
            case 's':
            case 'o':
                set(out, text(4));
                return;
            case 'g':
                set(out, text(1));
                return;
            case 'v': {
                const std::string inner = text(1);
                size_t ii = 0;
                value(inner, ii, out, depth + 1);
                if (ii != inner.size()) fail();
                return;
            }
            case 'a':
                return array(sig, si, out, depth);
            case '(':
            case '{':
                return structure(sig, t == '(' ? ')' : '}', si, depth);
            default:
                fail();
        }
    }

private:
    // An array: its values joined by spaces when out is given and they are
    // basic; si moves past the element type.
    void array(const std::string& sig, size_t& si, std::string* out, int depth) {
        const uint64_t len = uint(4);
        if (!ok_ || si >= sig.size()) return (void)fail();
        const char elem = sig[si];
        if (!align(alignment_of(elem)) || end_ - pos_ < len || len > (64u << 20)) return (void)fail();
        const size_t stop = pos_ + len, elem_at = si;
        std::string joined;
        const bool want = out && is_basic(elem);
        size_t after = elem_at;
        // An empty array still names its element type once.
        if (pos_ == stop) skip_type(sig, after, depth + 1);
        while (ok_ && pos_ < stop) {
            after = elem_at;
            std::string item;
            value(sig, after, want ? &item : nullptr, depth + 1);
            if (want) joined += (joined.empty() ? "" : " ") + item;
        }
        if (pos_ != stop) fail();
        si = after;
        if (want) *out = joined;
    }
    // A struct or dict entry, read past up to its `close`; never printed.
    void structure(const std::string& sig, char close, size_t& si, int depth) {
        align(8);
        while (ok_ && si < sig.size() && sig[si] != close) value(sig, si, nullptr, depth + 1);
        if (si >= sig.size()) return (void)fail();
        ++si;
    }
    bool fail() {
        ok_ = false;
        return false;
    }
    static void set(std::string* out, const std::string& v) {
        if (out) *out = v;
    }
    // Moves si past one complete type without reading a value.
    void skip_type(const std::string& sig, size_t& si, int depth) {
        if (si >= sig.size() || depth > MAX_DEPTH) return (void)fail();
        const char t = sig[si++];
        if (t == 'a') return skip_type(sig, si, depth + 1);
        if (t == '(' || t == '{') {
            const char close = t == '(' ? ')' : '}';
            while (ok_ && si < sig.size() && sig[si] != close) skip_type(sig, si, depth + 1);
            if (si >= sig.size()) return (void)fail();
            ++si;
        }
    }

    const std::string& b_;
    size_t pos_, end_;
    bool ok_ = true;
};

// One query's connection: opened, asked once, closed.
struct Connection {
    int fd = -1;
    std::string in;  // received bytes not yet taken as a message
    ~Connection() {
        if (fd >= 0) ::close(fd);
    }
};

long long now_ms() {
    struct timespec t {};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool wait_for(int fd, short events, long long deadline) {
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0) return false;
        struct pollfd p {
            fd, events, 0
        };
        int n = ::poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        return n == 1 && (p.revents & events);
    }
}

bool send_all(int fd, const std::string& data, long long deadline) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(fd, POLLOUT, deadline)) continue;
        return false;
    }
    return true;
}

// Appends at least `want` more bytes to buf. A large want (a message's
// body) is read straight into buf, exactly, so that no page is touched twice.
bool recv_some(int fd, std::string& buf, size_t want, long long deadline) {
    const size_t goal = buf.size() + want;
    char chunk[4096];
    while (buf.size() < goal) {
        const size_t have = buf.size();
        const bool direct = goal - have > sizeof chunk;
        if (direct) buf.resize(goal);
        ssize_t n = direct ? ::recv(fd, buf.data() + have, goal - have, 0) : ::recv(fd, chunk, sizeof chunk, 0);
        if (direct) buf.resize(have + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0) {
            if (!direct) buf.append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(fd, POLLIN, deadline)) continue;
        return false;
    }
    return true;
}

std::string hex(const std::string& s) {
    static const char* const digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// Connects and authenticates; false when systemd is not there to ask.
bool open_connection(Connection& c, long long deadline) {
    const std::string path = foundation::systemd_private_socket();
    struct sockaddr_un addr {};
    if (path.size() >= sizeof addr.sun_path) return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    c.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (c.fd < 0 || ::connect(c.fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) return false;
    // BEGIN goes with the AUTH line, as systemctl sends it: systemd takes
    // both from one read, while a call that arrives in the same read as a
    // late BEGIN is left unanswered.
    std::string hello("\0AUTH EXTERNAL ", 15);
    hello += hex(std::to_string(::geteuid())) + "\r\nBEGIN\r\n";
    if (!send_all(c.fd, hello, deadline)) return false;
    std::string answer;
    while (answer.find("\r\n") == std::string::npos && answer.size() < 512)
        if (!recv_some(c.fd, answer, 1, deadline)) return false;
    return answer.rfind("OK ", 0) == 0 && answer.size() == answer.find("\r\n") + 2;
}

struct Reply {
    char type = 0;
    uint32_t reply_serial = 0;
    std::string signature;
    std::string body;
};

// Reads one whole message; bytes of the next one stay in the connection.
std::optional<Reply> read_message(Connection& c, long long deadline) {
    std::string& in = c.in;
    if (in.size() < 16 && !recv_some(c.fd, in, 16 - in.size(), deadline)) return std::nullopt;
    if (in[0] != 'l') return std::nullopt;
    Reader head(in, 4, 16);
    const uint64_t body_len = head.uint(4);
    head.uint(4);
    const uint64_t fields_len = head.uint(4);
    if (fields_len > MAX_MESSAGE || body_len > MAX_MESSAGE) return std::nullopt;
    const uint64_t fields_end = 16 + fields_len, body_at = (fields_end + 7) / 8 * 8, total = body_at + body_len;
    if (in.size() < total && !recv_some(c.fd, in, total - in.size(), deadline)) return std::nullopt;
    std::string m;
    if (in.size() == total) m.swap(in);
    else {
        m = in.substr(0, total);
        in.erase(0, total);
    }
    Reply r;
    r.type = m[1];
    Reader fields(m, 16, fields_end);
    while (fields.ok() && fields.pos() < fields_end) {
        if (!fields.align(8) || fields.pos() >= fields_end) break;
        const uint64_t code = fields.uint(1);
        const std::string sig = fields.text(1);
        size_t si = 0;
        std::string v;
        fields.value(sig, si, &v);
        if (!fields.ok()) return std::nullopt;
        if (code == static_cast<uint64_t>(FIELD_REPLY_SERIAL) && sig == "u")
            r.reply_serial = static_cast<uint32_t>(std::stoul(v));
        if (code == static_cast<uint64_t>(FIELD_SIGNATURE)) r.signature = v;
    }
    if (!fields.ok()) return std::nullopt;
    r.body = m.substr(body_at);
    return r;
}

}  // namespace

std::string bus_object_path(const std::string& unit) {
    std::string p = "/org/freedesktop/systemd1/unit/";
    static const char* const digits = "0123456789abcdef";
    for (unsigned char c : unit) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            p.push_back(static_cast<char>(c));
        } else {
            p.push_back('_');
            p.push_back(digits[c >> 4]);
            p.push_back(digits[c & 15]);
        }
    }
    if (unit.empty()) p.push_back('_');
    return p;
}

std::string encode_call(uint32_t serial, const std::string& path, const std::string& interface,
                        const std::string& member, const std::string& destination, const std::string& argument) {
    std::string m = {'l', METHOD_CALL, 0, 1};
    put_u32(m, 0);  // body length, set below
    put_u32(m, serial);
    const size_t fields_len_at = m.size();
    put_u32(m, 0);
    pad_to(m, 8);
    const size_t fields_at = m.size();
    put_field(m, FIELD_PATH, 'o', path);
    put_field(m, FIELD_INTERFACE, 's', interface);
    put_field(m, FIELD_MEMBER, 's', member);
    put_field(m, FIELD_DESTINATION, 's', destination);
    put_field(m, FIELD_SIGNATURE, 'g', "s");
    set_u32(m, fields_len_at, static_cast<uint32_t>(m.size() - fields_at));
    pad_to(m, 8);
    const size_t body_at = m.size();
    put_string(m, argument);
    set_u32(m, 4, static_cast<uint32_t>(m.size() - body_at));
    return m;
}

std::optional<UnitRecord> decode_properties(const std::string& body, const std::vector<std::string>& properties) {
    const std::set<std::string> wanted(properties.begin(), properties.end());
    Reader r(body, 0, body.size());
    const uint64_t len = r.uint(4);
    if (!r.ok() || !r.align(8) || body.size() - r.pos() != len) return std::nullopt;
    UnitRecord rec;
    static const std::string entry = "v";
    while (r.ok() && r.pos() < body.size()) {
        r.align(8);
        const std::string name = r.text(4);
        size_t si = 0;
        std::string v;
        const bool want = wanted.count(name) > 0;
        r.value(entry, si, want ? &v : nullptr);
        if (r.ok() && want) rec[name] = v;
    }
    if (!r.ok()) return std::nullopt;
    return rec;
}

std::optional<UnitRecord> show_over_bus(const std::string& unit, const std::vector<std::string>& properties) {
    // The private socket answers root only; others ask through systemctl.
    if (::geteuid() != 0) return std::nullopt;
    // A fresh connection per query: systemd sends every private connection
    // its signals, and one left open through a long job would pile them up.
    const long long deadline = now_ms() + ANSWER_TIMEOUT_MS;
    Connection c;
    if (!open_connection(c, deadline)) return std::nullopt;
    const uint32_t serial = 1;
    std::optional<Reply> reply;
    if (send_all(c.fd,
                 encode_call(serial, bus_object_path(unit), "org.freedesktop.DBus.Properties", "GetAll",
                             "org.freedesktop.systemd1", ""),
                 deadline)) {
        // Signals may come first; only our answer counts.
        while ((reply = read_message(c, deadline)) &&
               !((reply->type == METHOD_RETURN || reply->type == ERROR_REPLY) && reply->reply_serial == serial)) {}
    }
    if (!reply || reply->type != METHOD_RETURN || reply->signature != "a{sv}") return std::nullopt;
    return decode_properties(reply->body, properties);
}

}  // namespace norvik::systemd
