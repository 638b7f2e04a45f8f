// Service-name validation and class-name transliteration. The suffix keeps
// the name's length, holds only class-name characters and never starts in
// lower case; for a name the validator accepts it is also a safe file name
// (the definition file is <suffix>.json).
#include <cctype>
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "foundation/service_name.hpp"
#include "service/factory.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    namespace foundation = norvik::foundation;
    int ok = foundation::is_valid_service_name(name);
    if (ok && (name.empty() || name.size() > foundation::MAX_SERVICE_NAME_LENGTH || name[0] == '-' ||
               name.find_first_of("./\0", 0, 3) != std::string::npos))
        std::abort();
    for (char c : name)
        if (ok && !foundation::is_service_name_char(c)) std::abort();
    std::string suffix = norvik::service::class_suffix_for_service(name);
    if (suffix.size() != name.size()) std::abort();
    for (unsigned char c : suffix)
        if (!(std::isalnum(c) || c == '_')) std::abort();
    if (!suffix.empty() && std::islower(static_cast<unsigned char>(suffix[0]))) std::abort();
    // Same name in another case, same definition.
    std::string upper = name;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (norvik::service::class_suffix_for_service(upper) != suffix) std::abort();
    return 0;
}
