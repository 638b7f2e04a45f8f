#include "foundation/io_error.hpp"

#include <cstring>

namespace norvik::foundation {

std::string error_text(int err) {
    char buf[256];
    // GNU strerror_r returns the text (possibly not in buf).
    return std::string(strerror_r(err, buf, sizeof buf));
}

ExceptionPtr make_io_error(const std::string& type, const std::string& tmpl, const std::vector<std::string>& args,
                           const nlohmann::json& params, int err) {
    auto e = exception::create(type, tmpl, args);
    if (params.is_object())
        for (auto it = params.begin(); it != params.end(); ++it) e->set(it.key(), it.value());
    if (err != 0) {
        e->set("error", error_text(err));
        e->set("errno", err);
    }
    return e;
}

void raise_io_error(const std::string& type, const std::string& tmpl, const std::vector<std::string>& args,
                    const nlohmann::json& params, int err) {
    make_io_error(type, tmpl, args, params, err)->raise();
    __builtin_unreachable();
}

}  // namespace norvik::foundation
