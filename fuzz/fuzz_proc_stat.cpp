// /proc stat and cmdline parsing through a fake proc tree: the input is split
// at the first 0xff byte into the stat record and the command line. The
// table scan, the single-pid lookup and the search by program name (which
// splits the command line into words and looks past interpreters) all read
// the same two files.
#include <cstdlib>
#include <regex>

#include "FuzzCommon.hpp"
#include "exception/exception.hpp"
#include "proc/proc_root.hpp"
#include "proc/process_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string proc = [] {
        std::string p = fuzzsupport::sandbox() + "/proc";
        norvik::proc::set_proc_root(p);
        // The table is read only while <proc>/stat is there (else ps answers).
        fuzzsupport::put(p + "/stat", "cpu  10 0 10 100 0 0 0 0 0 0\nbtime 1700000000\n");
        fuzzsupport::put(p + "/4242/status", "Name:\tx\nUid:\t0\t0\t0\t0\n");
        ::symlink("/usr/sbin/fuzzd", (p + "/4242/exe").c_str());
        return p;
    }();
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t cut = in.find('\xff');
    std::string stat = in.substr(0, cut);
    std::string cmdline = cut == std::string::npos ? "" : in.substr(cut + 1);
    fuzzsupport::put(proc + "/4242/stat", stat);
    fuzzsupport::put(proc + "/4242/cmdline", cmdline);
    namespace ps = norvik::proc;
    try {
        std::string_view fields, head;
        bool has_fields = ps::stat_fields_part(stat, fields, head);
        if (has_fields && (fields.size() > stat.size() || head.size() > stat.size())) std::abort();
        ps::ParseOptions o;
        auto plain = ps::fast_parse_ps(o);
        o.elapsed_stats = o.cpu_stats = o.memory_stats = true;
        auto full = ps::fast_parse_ps(o);
        if (plain.size() != full.size() || plain.size() > 1) std::abort();
        for (auto& r : full) {
            if (r.pid != 4242) std::abort();
            // NULs of the command line become spaces (a kernel name has none).
            if (stat.find('\0') == std::string::npos && r.command.find('\0') != std::string::npos) std::abort();
        }
        o = {};
        o.skip_stat = o.skip_cmdline = true;
        (void)ps::fast_parse_ps(o);
        (void)ps::get_pid_info(4242);
        (void)ps::get_pids_by_name("fuzzd");
        (void)ps::get_pids_by_name(std::vector<std::string>{"perl", "fuzzd", "x"});
        (void)ps::get_pids_by_name(std::regex("fu+zz"), std::vector<std::string>{"root", "0"});
        (void)ps::parse_pid(cmdline);
        (void)norvik::proc::getbasename(cmdline);
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    return 0;
}
