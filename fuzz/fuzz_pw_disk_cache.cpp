// The on-disk password-entry cache: the input is the cache file of one
// user. Whatever it holds, a lookup answers with a record that belongs to
// the key, or falls back, without undefined behaviour.
#include <sys/stat.h>

#include <cstdlib>

#include "FuzzCommon.hpp"
#include "exception/exception.hpp"
#include "foundation/pw_cache.hpp"
#include "foundation/pw_disk_cache.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        std::string d = fuzzsupport::sandbox() + "/pwcache";
        ::mkdir(d.c_str(), 0700);
        return d;
    }();
    namespace foundation = norvik::foundation;
    const std::string by_name = foundation::make_key(0, "fuzzuser"), by_uid = foundation::make_key(2, "4242");
    std::string text(reinterpret_cast<const char*>(data), size);
    fuzzsupport::put(dir + "/" + by_name, text);
    fuzzsupport::put(dir + "/" + by_uid, text);
    try {
        norvik::foundation::PwDiskCache cache(dir);
        for (const auto& key : {by_name, by_uid}) {
            foundation::clear_pw_cache();
            auto e = cache.FETCH(key);
            if (e && e->contents.name != "fuzzuser" && e->contents.uid != 4242) std::abort();
        }
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    return 0;
}
