#include "proc/port_holders.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <set>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "proc/proc_root.hpp"
#include "foundation/load_file.hpp"
#include "proc/kill.hpp"
#include "proc/pid_file.hpp"
#include "proc/process_info.hpp"
#include "proc/process_table.hpp"

namespace norvik::proc {
namespace {

using proc::FdGuard;

// An address in canonical text; IPv4-mapped IPv6 addresses become IPv4.
std::string canonical(const std::string& text) {
    in_addr a4;
    in6_addr a6;
    char buf[INET6_ADDRSTRLEN];
    if (::inet_pton(AF_INET, text.c_str(), &a4) == 1) return ::inet_ntop(AF_INET, &a4, buf, sizeof buf);
    std::string t = text;
    if (t.size() > 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
    if (::inet_pton(AF_INET6, t.c_str(), &a6) == 1) {
        if (IN6_IS_ADDR_V4MAPPED(&a6)) {
            std::memcpy(&a4, a6.s6_addr + 12, 4);
            return ::inet_ntop(AF_INET, &a4, buf, sizeof buf);
        }
        return ::inet_ntop(AF_INET6, &a6, buf, sizeof buf);
    }
    return text;
}

struct Socket {
    int port;
    std::string address;
};

unsigned hexval(char c) {
    if (c >= '0' && c <= '9') return unsigned(c - '0');
    if (c >= 'a' && c <= 'f') return unsigned(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return unsigned(c - 'A' + 10);
    return 0;
}

std::uint32_t hex32(std::string_view s) {
    std::uint32_t v = 0;
    for (char c : s) v = (v << 4) | hexval(c);
    return v;
}

// Listening sockets of one /proc/net/tcp{,6} table: inode -> (port, address).
void read_table(const std::string& path, bool v6, const std::set<int>& ports, const std::set<std::string>& excluded,
                std::unordered_map<unsigned long, Socket>& out) {
    // Read on to the end: the table comes a few whole records per read,
    // each read short of a page.
    const auto read = foundation::loadfile(path);
    if (!read) return;
    const std::string& text = *read;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string sl, local, remote, st, queues, timer, retr, uid, timeout, inode;
        if (!(ls >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >> inode)) continue;
        if (st != "0A") continue;  // LISTEN
        size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        int port = static_cast<int>(hex32(std::string_view(local).substr(colon + 1)));
        if (!ports.count(port)) continue;
        std::string_view hex = std::string_view(local).substr(0, colon);
        char buf[INET6_ADDRSTRLEN];
        std::string address;
        // The kernel prints each 32-bit word of the address in host order.
        if (!v6 && hex.size() == 8) {
            std::uint32_t w = hex32(hex);
            in_addr a;
            std::memcpy(&a, &w, 4);
            address = ::inet_ntop(AF_INET, &a, buf, sizeof buf);
        } else if (v6 && hex.size() == 32) {
            in6_addr a;
            for (int i = 0; i < 4; ++i) {
                std::uint32_t w = hex32(hex.substr(size_t(i) * 8, 8));
                std::memcpy(a.s6_addr + i * 4, &w, 4);
            }
            address = canonical(::inet_ntop(AF_INET6, &a, buf, sizeof buf));
        } else {
            continue;
        }
        if (excluded.count(address)) continue;
        unsigned long ino = std::strtoul(inode.c_str(), nullptr, 10);
        if (ino == 0) continue;
        out[ino] = Socket{port, address};
    }
}

// The same listening sockets asked of the kernel by state (sock_diag): the
// /proc tables make it walk every bucket of the connection hash, a
// millisecond or more per read on a large machine. False when the kernel
// cannot be asked this way; the caller then reads the tables.
bool ask_kernel(const std::set<int>& ports, const std::set<std::string>& excluded,
                std::unordered_map<unsigned long, Socket>& out) {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    FdGuard guard(fd);
    std::unordered_map<unsigned long, Socket> found;
    for (unsigned char family : {AF_INET, AF_INET6}) {
        struct {
            nlmsghdr head;
            inet_diag_req_v2 req;
        } msg{};
        msg.head.nlmsg_len = sizeof msg;
        msg.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        msg.head.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        msg.head.nlmsg_seq = family;
        msg.req.sdiag_family = family;
        msg.req.sdiag_protocol = IPPROTO_TCP;
        msg.req.idiag_states = 1u << TCP_LISTEN;
        struct sockaddr_nl kernel {};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(fd, &msg, sizeof msg, 0, reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel) !=
            static_cast<ssize_t>(sizeof msg))
            return false;
        alignas(nlmsghdr) char buf[32768];
        for (bool done = false; !done;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            int left = static_cast<int>(n);
            // NLMSG_OK, without its comparison of the unsigned length to an int.
            auto fits = [](const nlmsghdr* h, int len) {
                return len >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
                       h->nlmsg_len <= static_cast<unsigned>(len);
            };
            for (auto* h = reinterpret_cast<nlmsghdr*>(buf); fits(h, left); h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_type == NLMSG_DONE) {
                    done = true;
                    break;
                }
                if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return false;
                const auto* d = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
                const int port = ntohs(d->id.idiag_sport);
                if (!ports.count(port) || d->idiag_inode == 0) continue;
                char text[INET6_ADDRSTRLEN];
                if (!::inet_ntop(d->idiag_family, d->id.idiag_src, text, sizeof text)) continue;
                const std::string address = canonical(text);
                if (excluded.count(address)) continue;
                found[d->idiag_inode] = Socket{port, address};
            }
        }
    }
    out.insert(found.begin(), found.end());
    return true;
}

bool is_wildcard(const std::string& a) { return a == "0.0.0.0" || a == "::"; }
bool is_v6(const std::string& a) { return a.find(':') != std::string::npos; }

std::string program_of(pid_t pid) {
    char target[PATH_MAX + 1];
    ssize_t n = ::readlink((proc::proc_entry(pid, "exe")).c_str(), target, PATH_MAX);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string("an unknown program");
}

}  // namespace

bool addresses_conflict(const std::string& a_in, const std::string& b_in) {
    const std::string a = canonical(a_in), b = canonical(b_in);
    // The IPv6 wildcard may be dual-stack (nothing here tells), and then
    // holds the IPv4 addresses of the port as well.
    if (a == "::" || b == "::") return true;
    if (is_v6(a) != is_v6(b)) return false;
    return a == b || is_wildcard(a) || is_wildcard(b);
}

void learn_binds(const std::vector<Listener>& all, Service& s) {
    for (const auto& l : all)
        if (proc::is_owner(l.uid, s.owner)) s.binds[l.port].insert(canonical(l.address));
}

std::vector<Listener> service_listeners(const std::vector<Listener>& all, const Service& s) {
    std::vector<Listener> out;
    for (const auto& l : all) {
        bool ours = proc::is_owner(l.uid, s.owner);
        if (!ours) {
            auto it = s.binds.find(l.port);
            if (it == s.binds.end() || it->second.empty()) ours = s.unknown_bind_is_wildcard;
            else
                ours = std::any_of(it->second.begin(), it->second.end(),
                                   [&](const std::string& b) { return addresses_conflict(l.address, b); });
        }
        if (ours) out.push_back(l);
    }
    return out;
}

std::vector<Listener> find_listeners(const std::vector<int>& ports_in, const std::vector<std::string>& exclude_ips) {
    std::vector<Listener> out;
    std::set<int> ports;
    for (int p : ports_in)
        if (p > 0 && p < 65536) ports.insert(p);
    if (ports.empty()) return out;
    std::set<std::string> excluded;
    for (const auto& ip : exclude_ips) excluded.insert(canonical(ip));

    const std::string& base = proc::proc_root();
    std::unordered_map<unsigned long, Socket> sockets;
    // A /proc other than the kernel's own (tests) is read as files.
    if (base != "/proc" || !ask_kernel(ports, excluded, sockets)) {
        read_table(base + "/net/tcp", false, ports, excluded, sockets);
        read_table(base + "/net/tcp6", true, ports, excluded, sockets);
    }
    if (sockets.empty()) return out;

    std::unordered_set<pid_t> spared;
    for (pid_t p : proc::get_pid_lineage()) spared.insert(p);

    int pfd = proc::open_dir(base);
    if (pfd < 0) return out;
    FdGuard pg(pfd);
    char link[PATH_MAX + 1];
    proc::for_each_numeric_entry(pfd, [&](const char* name, size_t len) {
        auto pid = proc::parse_pid(std::string_view(name, len));
        if (!pid || !proc::is_signalable_pid(*pid) || spared.count(*pid)) return;
        std::string rel = std::string(name, len) + "/fd";
        int fd = ::openat(pfd, rel.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        FdGuard g(fd);
        struct stat st {};
        if (::fstatat(pfd, std::string(name, len).c_str(), &st, 0) != 0) return;
        std::set<unsigned long> seen;
        proc::for_each_numeric_entry(fd, [&](const char* fdname, size_t) {
            ssize_t n = ::readlinkat(fd, fdname, link, PATH_MAX);
            if (n < 10) return;
            std::string_view t(link, static_cast<size_t>(n));
            if (t.substr(0, 8) != "socket:[" || t.back() != ']') return;
            unsigned long ino = std::strtoul(std::string(t.substr(8, t.size() - 9)).c_str(), nullptr, 10);
            auto it = sockets.find(ino);
            if (it == sockets.end() || !seen.insert(ino).second) return;
            out.push_back(Listener{*pid, it->second.port, it->second.address, st.st_uid});
        });
    });
    return out;
}

int kill_apps_on_ports(const Args& args) {
    bool verbose = args.verbose.value_or(false);
    auto listeners = find_listeners(args.ports, args.exclude_ips);
    if (args.service) listeners = service_listeners(listeners, *args.service);
    std::vector<pid_t> pids;
    for (const auto& l : listeners) {
        if (std::find(pids.begin(), pids.end(), l.pid) != pids.end()) continue;
        pids.push_back(l.pid);
        if (args.service && args.warn && !proc::is_owner(l.uid, args.service->owner))
            args.warn("The process " + std::to_string(l.pid) + " (" + program_of(l.pid) + ") of the user “" +
                      proc::name_for_uid(l.uid).value_or(std::to_string(l.uid)) + "” holds " + l.address + " port " +
                      std::to_string(l.port) + ", which the service binds; it is ended.");
    }
    if (verbose)
        for (const auto& l : listeners) {
            const std::string line = "Process " + std::to_string(l.pid) + " listens on " + l.address + " port " +
                                     std::to_string(l.port) + "\n";
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
    if (pids.empty()) return 0;
    auto lineage = proc::get_pid_lineage();
    std::string display = "the programs on port";
    std::set<int> shown;
    for (const auto& l : listeners) shown.insert(l.port);
    display += shown.size() == 1 ? " " : "s ";
    bool first = true;
    for (int p : shown) {
        display += (first ? "" : ", ") + std::to_string(p);
        first = false;
    }
    int ok = _safekill_multipid(pids, verbose, 0, lineage, display);
    return ok ? static_cast<int>(pids.size()) : 0;
}

}  // namespace norvik::proc
