#include "foundation/pw_utils.hpp"

#include <cctype>

#include "exception/exception.hpp"
#include "foundation/pw_cache.hpp"

namespace norvik::foundation {

uid_t normalize_to_uid(const std::string& user) {
    if (user.empty()) exception::raise("PwUtils::UnknownUser", "No user was given.", {});
    bool digits = user.size() <= 10;
    for (char c : user)
        if (!std::isdigit(static_cast<unsigned char>(c))) digits = false;
    if (digits) {
        unsigned long v = std::stoul(user);
        if (v <= 0xFFFFFFFFul) return static_cast<uid_t>(v);
    }
    auto r = foundation::getpwnam_noshadow(user);
    if (!r) {
        auto e = exception::create("PwUtils::UnknownUser", "The user “[_1]” does not exist.", {user});
        e->set("user", user);
        e->raise();
    }
    return r->uid;
}

}  // namespace norvik::foundation
