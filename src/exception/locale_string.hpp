// A translatable message: a template with bracketed placeholders ("[_1]")
// and its arguments. With no translation system present the text is the
// template with its placeholders filled.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvik {

class LocaleString {
public:
    static constexpr const char* CLASS_NAME = "Norvik::LocaleString";

    // Throws PlainError when the template is empty.
    explicit LocaleString(std::string message_template, std::vector<std::string> args = {});
    // A locale string of a subclass ("Norvik::LocaleString::..."), e.g. thawed.
    LocaleString(std::string class_name, std::string message_template, std::vector<std::string> args);

    const std::string& class_name() const { return class_; }
    // True for "Norvik::LocaleString" and the names below it.
    static bool is_locale_string_class(const std::string& name);
    std::string to_string() const;
    std::string to_en_string() const;
    LocaleString clone_with_args(std::vector<std::string> args) const;
    // Template followed by the arguments.
    std::vector<std::string> to_list() const;
    // [class, template, args...]
    nlohmann::json freeze() const;
    // The frozen form inside a set_json_to_freeze() guard, else to_string().
    nlohmann::json TO_JSON() const;

    const std::string& message_template() const { return template_; }
    const std::vector<std::string>& args() const { return args_; }
    bool operator==(const LocaleString& o) const {
        return class_name() == o.class_name() && template_ == o.template_ && args_ == o.args_;
    }

    // Rebuilds from the frozen form; throws PlainError naming the received
    // type when it is not a list, or when its class is not a locale string.
    static LocaleString thaw(const nlohmann::json& frozen);
    // True when value is a list of at least 2 elements headed by a
    // locale-string class name.
    static bool is_frozen(const nlohmann::json& value);

    // While the guard lives, TO_JSON yields the frozen form.
    class JsonMode {
    public:
        JsonMode();
        ~JsonMode();
        JsonMode(const JsonMode&) = delete;
        JsonMode& operator=(const JsonMode&) = delete;
    };
    static JsonMode set_json_to_freeze();
    static bool json_freezes();

private:
    std::string class_;
    std::string template_;
    std::vector<std::string> args_;
};

// nlohmann::json j = locale_string;  (follows TO_JSON)
void to_json(nlohmann::json& j, const LocaleString& s);

}  // namespace norvik
