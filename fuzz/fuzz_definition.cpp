// Service definition files.
#include "FuzzCommon.hpp"
#include "exception/exception.hpp"
#include "service/definition.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        auto d = norvik::service::Definition::parse(text, "Fuzz.json", "Norvik::ServiceManager::Services::Fuzz");
        (void)d.has_hook("start");
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    return 0;
}
