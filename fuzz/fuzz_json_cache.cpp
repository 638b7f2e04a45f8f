// The JSON cache loader: whatever the cache file holds, lookups must answer
// or fail cleanly.
#include "FuzzCommon.hpp"
#include "exception/Exception.hpp"
#include "foundation/GlobalCache.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::sandbox();
    std::string text(reinterpret_cast<const char*>(data), size);
    namespace gc = norvik::globalcache;
    try {
        gc::clearcache();
        const std::string file = gc::cache_file("fuzz");
        fuzzsupport::put(file, text);
        (void)gc::data("fuzz", "key");
        (void)gc::data("fuzz", "");
        (void)gc::get_cache_mtime("fuzz");
        (void)gc::loadfile("fuzz", "/nonexistent-fuzz-file");
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {
    }
    return 0;
}
