// /proc stat and cmdline parsing through a fake proc tree: the input is split
// at the first 0xff byte into the stat record and the command line.
#include "FuzzCommon.hpp"
#include "exception/Exception.hpp"
#include "proc/PsParser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string proc = [] {
        std::string p = fuzzsupport::sandbox() + "/proc";
        norvik::psparser::set_PROC_PATH(p);
        return p;
    }();
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t cut = in.find('\xff');
    std::string stat = in.substr(0, cut);
    std::string cmdline = cut == std::string::npos ? "" : in.substr(cut + 1);
    fuzzsupport::put(proc + "/4242/stat", stat);
    fuzzsupport::put(proc + "/4242/cmdline", cmdline);
    fuzzsupport::put(proc + "/4242/status", "Name:\tx\nUid:\t0\t0\t0\t0\n");
    namespace ps = norvik::psparser;
    try {
        std::string_view fields, head;
        (void)ps::detail::stat_fields_part(stat, fields, head);
        ps::ParseOptions o;
        (void)ps::fast_parse_ps(o);
        o.elapsed_stats = o.cpu_stats = o.memory_stats = true;
        (void)ps::parse_ps(o);
        (void)ps::get_pid_info(4242);
        (void)ps::parse_pid(cmdline);
        (void)norvik::proc::basename::getbasename(cmdline);
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {
    }
    return 0;
}
