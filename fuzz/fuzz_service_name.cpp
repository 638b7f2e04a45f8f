// Service-name validation and class-name transliteration: a name accepted by
// the validator must give a class suffix made of word characters only.
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "exception/Exception.hpp"
#include "foundation/Validate_Service.hpp"
#include "service_manager/ServiceManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    int ok = norvik::validate::service::is_valid(name);
    try {
        std::string suffix = norvik::servicemanager::class_suffix_for_service(name);
        if (ok) {
            if (suffix.find('/') != std::string::npos || suffix.find("..") != std::string::npos) std::abort();
            for (unsigned char c : suffix)
                if (c < 0x20 || c == 0x7f) std::abort();
        }
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {
    }
    return 0;
}
