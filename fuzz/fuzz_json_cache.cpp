// The JSON cache loaders. The input is split at the first 0xff byte: the
// part before it is the main configuration's JSON cache (current: its mtime
// is the main file's plus one second), the part after it a global cache file.
// Whatever the files hold, lookups must answer or fail cleanly, and a cache
// accepted as current holds only flat text values.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>

#include "FuzzCommon.hpp"
#include "config/nkconf_guard.hpp"
#include "exception/exception.hpp"
#include "foundation/global_cache.hpp"

namespace {
void set_mtime(const std::string& path, time_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), ts, 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::sandbox();
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t cut = in.find('\xff');
    std::string conf_cache = in.substr(0, cut);
    std::string global = cut == std::string::npos ? in : in.substr(cut + 1);

    using norvik::config::NkConfGuard;
    const std::string main = norvik::foundation::main_config(), cache = norvik::foundation::main_config_cache();
    fuzzsupport::put(main, "a=1\n");
    fuzzsupport::put(cache, conf_cache);
    set_mtime(main, 1000000);
    set_mtime(cache, 1000001);
    NkConfGuard::clearcache();
    try {
        auto [map, valid] = NkConfGuard::get_cache();
        if (valid && !map) std::abort();
        if (map)
            for (auto& [k, v] : *map) (void)k, (void)v;
        // Read twice: the second answer comes from the memory cache and must agree.
        auto again = NkConfGuard::get_cache();
        if (valid && (!again.first || *again.first != *map)) std::abort();
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}

    namespace foundation = norvik::foundation;
    try {
        foundation::clearcache();
        const std::string file = foundation::cache_file("fuzz");
        fuzzsupport::put(file, global);
        (void)foundation::global_cache_data("fuzz", "key");
        (void)foundation::global_cache_data("fuzz", "");
        (void)foundation::get_cache_mtime("fuzz");
        (void)foundation::global_cache_loadfile("fuzz", "/nonexistent-fuzz-file");
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    return 0;
}
