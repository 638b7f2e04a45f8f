// The fallback process-table parser over `ps` output in its fixed column
// layout. Every record has a positive pid and a one-line command; the
// filters only ever drop records.
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "exception/exception.hpp"
#include "proc/process_table.hpp"
#include "proc/process_table_fallback.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    namespace proc = norvik::proc;
    proc::ParseOptions all;
    all.memory_stats = data[0] & 1;
    all.cpu_stats = data[0] & 2;
    all.elapsed_stats = data[0] & 4;
    try {
        auto records = proc::parse_ps_output(text, all);
        for (auto& r : records) {
            if (r.pid <= 0 || !r.has_stat) std::abort();
            if (r.command.find('\n') != std::string::npos) std::abort();
        }
        proc::ParseOptions some = all;
        some.exclude_kernel = data[0] & 8;
        some.exclude_self = true;
        if (data[0] & 16) some.want_uid = 0;
        if (data[0] & 32) some.want_pid = 4242;
        if (proc::parse_ps_output(text, some).size() > records.size()) std::abort();
        proc::ParseOptions bare;
        bare.skip_stat = bare.skip_cmdline = true;
        if (proc::parse_ps_output(text, bare).size() < records.size()) std::abort();
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    return 0;
}
