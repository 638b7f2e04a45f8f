// The exception family. Every error that travels to the entry is either a
// norvik::Exception (whose class_name() is the full dotted-colon name the
// entry matches against, e.g. "Norvik::Exception::Services::Disabled") or a
// norvik::PlainError carrying a finished text.
#pragma once

#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvik {

// A plain error text (the program's equivalent of dying with a message).
class PlainError : public std::exception {
public:
    explicit PlainError(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

class Exception;
using ExceptionPtr = std::shared_ptr<Exception>;

class Exception : public std::exception {
public:
    // `type` is the part after "Norvik::Exception::", e.g. "Services::Disabled".
    Exception(std::string type, std::string message_template, std::vector<std::string> args);
    Exception(std::string type, nlohmann::json params);
    ~Exception() override = default;

    // "Norvik::Exception::" + type.
    std::string class_name() const { return "Norvik::Exception::" + type_; }
    const std::string& type() const { return type_; }
    // True for the service family ("^Norvik::Exception::Services?::").
    bool is_service_exception() const;

    // Named parameters.
    nlohmann::json get(const std::string& key) const;
    std::string get_text(const std::string& key) const;  // "" when missing
    void set(const std::string& key, nlohmann::json value);
    const nlohmann::json& params() const { return params_; }

    const std::string& id() const { return id_; }
    void set_id(std::string id) { id_ = std::move(id); }
    const std::string& longmess() const { return longmess_; }

    std::string get_string() const { return to_string(); }
    std::string get_string_no_id() const { return to_string_no_id(); }
    std::string to_string() const;
    std::string to_string_no_id() const;
    std::string to_en_string() const { return to_string(); }
    std::string to_en_string_no_id() const { return to_string_no_id(); }
    std::string to_locale_string() const { return to_string(); }
    std::string to_locale_string_no_id() const { return to_string_no_id(); }

    void add_auxiliary_exception(ExceptionPtr aux) { auxiliaries_.push_back(std::move(aux)); }
    const std::vector<ExceptionPtr>& get_auxiliary_exceptions() const { return auxiliaries_; }

    const char* what() const noexcept override;

    // Throws this object as its own most-derived C++ type.
    [[noreturn]] virtual void raise() const { throw *this; }
    virtual ExceptionPtr clone() const { return std::make_shared<Exception>(*this); }

protected:
    // The text when the exception was built from named parameters; classes
    // with their own wording override it.
    virtual std::string message_from_params() const;

private:
    void init_common();

    std::string type_;
    std::string template_;
    std::vector<std::string> args_;
    bool from_params_ = false;
    bool raw_ = false;
    nlohmann::json params_ = nlohmann::json::object();
    std::string id_;
    std::string longmess_;
    std::vector<ExceptionPtr> auxiliaries_;
    mutable std::string what_cache_;

    friend ExceptionPtr create_raw_impl(const std::string&, const std::string&);
};

namespace exception {

// New exceptions of class Norvik::Exception::<type>. An invalid type name
// raises a PlainError (the class "cannot be loaded").
ExceptionPtr create(const std::string& type, const std::string& message_template,
                    const std::vector<std::string>& args = {});
ExceptionPtr create(const std::string& type, const nlohmann::json& params);
ExceptionPtr create(const std::string& type);
ExceptionPtr create_raw(const std::string& type, const std::string& text);

// Shorthands that build and throw at once.
[[noreturn]] void raise(const std::string& type, const std::string& message_template,
                        const std::vector<std::string>& args = {});
[[noreturn]] void raise(const std::string& type, const nlohmann::json& params);
[[noreturn]] void raise_raw(const std::string& type, const std::string& text);

// The text of any caught error.
std::string get_string(const std::exception& e);
std::string get_string(const std::exception_ptr& e);
std::string get_string(const std::string& text);

// Builders for types with their own C++ class (so callers can catch them by
// type). Registered at start-up by the module that defines the class.
using Factory = ExceptionPtr (*)(const std::string& type, const nlohmann::json& params,
                                 const std::string& message_template, const std::vector<std::string>& args,
                                 bool from_params);
void register_type(const std::string& type, Factory factory);

// While a guard lives, new exceptions record no stack trace.
class StackTraceSuppressor {
public:
    StackTraceSuppressor();
    ~StackTraceSuppressor();
    StackTraceSuppressor(const StackTraceSuppressor&) = delete;
    StackTraceSuppressor& operator=(const StackTraceSuppressor&) = delete;
};
StackTraceSuppressor get_stack_trace_suppressor();

// Interpolates "[_1]", "[_2]"... and "[asis,text]" without translation.
std::string interpolate_variables(const std::string& message_template, const std::vector<std::string>& args);

// A stack trace of the caller, one frame per line.
std::string stack_trace(int skip = 1);

}  // namespace exception
}  // namespace norvik

// Declares a C++ class for one exception type, so callers may catch it by
// type; pair with norvik::exception::register_class<Cls>("Type::Name").
#define NORVIK_DECLARE_EXCEPTION(Cls)                                                          \
    class Cls : public ::norvik::Exception { /* NOLINT(bugprone-macro-parentheses) */          \
    public:                                                                                    \
        using ::norvik::Exception::Exception;                                                  \
        [[noreturn]] void raise() const override { throw *this; }                              \
        ::norvik::ExceptionPtr clone() const override { return std::make_shared<Cls>(*this); } \
    };

namespace norvik::exception {
template <class T>
void register_class(const std::string& type) {
    register_type(type,
                  [](const std::string& t, const nlohmann::json& params, const std::string& tmpl,
                     const std::vector<std::string>& args, bool from_params) -> ExceptionPtr {
                      if (from_params) return std::make_shared<T>(t, params);
                      return std::make_shared<T>(t, tmpl, args);
                  });
}
}  // namespace norvik::exception
