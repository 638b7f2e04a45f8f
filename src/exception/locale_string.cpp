#include "exception/locale_string.hpp"

#include "exception/exception.hpp"

namespace norvik {
namespace {

int& freeze_depth() {
    // Nesting depth of the guards that make locale strings serialise frozen.
    static int depth = 0;
    return depth;
}

std::string element_text(const nlohmann::json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_null()) return "";
    return v.dump();
}

// No translation system is linked into this program: every text is the
// template with its placeholders filled, in the base language.
std::string makevar(const std::string& tmpl, const std::vector<std::string>& args) {
    return exception::interpolate_variables(tmpl, args);
}

}  // namespace

LocaleString::LocaleString(std::string message_template, std::vector<std::string> args)
    : LocaleString(CLASS_NAME, std::move(message_template), std::move(args)) {}

LocaleString::LocaleString(std::string class_name, std::string message_template, std::vector<std::string> args)
    : class_(std::move(class_name)), template_(std::move(message_template)), args_(std::move(args)) {
    if (template_.empty()) throw PlainError("A locale string needs a non-empty message template.");
    if (!is_locale_string_class(class_)) throw PlainError("“" + class_ + "” is not a locale string class.");
}

bool LocaleString::is_locale_string_class(const std::string& name) {
    static const std::string base = CLASS_NAME;
    return name == base || (name.size() > base.size() + 2 && name.compare(0, base.size() + 2, base + "::") == 0);
}

std::string LocaleString::to_string() const { return makevar(template_, args_); }
std::string LocaleString::to_en_string() const { return makevar(template_, args_); }

LocaleString LocaleString::clone_with_args(std::vector<std::string> args) const {
    return LocaleString(class_, template_, std::move(args));
}

std::vector<std::string> LocaleString::to_list() const {
    std::vector<std::string> out;
    out.reserve(args_.size() + 1);
    out.push_back(template_);
    out.insert(out.end(), args_.begin(), args_.end());
    return out;
}

nlohmann::json LocaleString::freeze() const {
    nlohmann::json j = nlohmann::json::array();
    j.push_back(class_);
    j.push_back(template_);
    for (const auto& a : args_) j.push_back(a);
    return j;
}

nlohmann::json LocaleString::TO_JSON() const { return json_freezes() ? freeze() : nlohmann::json(to_string()); }

LocaleString LocaleString::thaw(const nlohmann::json& frozen) {
    if (!frozen.is_array())
        throw PlainError(std::string("A frozen locale string must be a list, not “") + frozen.type_name() + "”.");
    if (frozen.size() < 2 || !frozen[0].is_string() || !is_locale_string_class(frozen[0].get<std::string>()))
        throw PlainError("The list is not a frozen locale string: " + frozen.dump());
    std::vector<std::string> args;
    for (std::size_t i = 2; i < frozen.size(); ++i) args.push_back(element_text(frozen[i]));
    return LocaleString(frozen[0].get<std::string>(), element_text(frozen[1]), std::move(args));
}

bool LocaleString::is_frozen(const nlohmann::json& value) {
    if (!value.is_array() || value.size() < 2 || !value[0].is_string()) return false;
    return is_locale_string_class(value[0].get<std::string>());
}

LocaleString::JsonMode::JsonMode() { ++freeze_depth(); }
LocaleString::JsonMode::~JsonMode() { --freeze_depth(); }
LocaleString::JsonMode LocaleString::set_json_to_freeze() { return JsonMode(); }
bool LocaleString::json_freezes() { return freeze_depth() > 0; }

void to_json(nlohmann::json& j, const LocaleString& s) { j = s.TO_JSON(); }

}  // namespace norvik
