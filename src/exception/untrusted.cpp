#include "exception/untrusted.hpp"

namespace norvik {

UntrustedException::UntrustedException(std::string class_name, std::string string, std::string longmess,
                                       nlohmann::json metadata)
    : class_(std::move(class_name)),
      string_(std::move(string)),
      longmess_(std::move(longmess)),
      metadata_(metadata.is_object() ? std::move(metadata) : nlohmann::json::object()) {}

nlohmann::json UntrustedException::get(const std::string& key) const {
    auto it = metadata_.find(key);
    return it == metadata_.end() ? nlohmann::json() : *it;
}

}  // namespace norvik
