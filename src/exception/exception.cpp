#include "exception/exception.hpp"

#include <execinfo.h>

#include <atomic>
#include <mutex>
#include <random>
#include <regex>

namespace norvik {
namespace {

std::atomic<int>& suppress_depth() {
    // Nesting depth of the guards that keep exceptions from logging.
    static std::atomic<int> depth{0};
    return depth;
}

std::map<std::string, exception::Factory>& registry() {
    // Exception classes by name, filled as modules register them.
    static std::map<std::string, exception::Factory> r;
    return r;
}
std::mutex& registry_mutex() {
    // Guards the registry.
    static std::mutex m;
    return m;
}

std::string new_id() {
    // Random source for exception ids, seeded once.
    static std::mt19937_64 rng{std::random_device{}()};
    static const char* const digits = "0123456789abcdef";
    std::string id(8, '0');
    auto v = rng();
    for (auto& c : id) {
        c = digits[v & 15];
        v >>= 4;
    }
    return id;
}

bool valid_type(const std::string& type) {
    if (type.empty()) return false;
    size_t i = 0;
    while (i < type.size()) {
        size_t start = i;
        while (i < type.size() && (std::isalnum(static_cast<unsigned char>(type[i])) || type[i] == '_')) ++i;
        if (i == start) return false;
        if (i == type.size()) return true;
        if (type.compare(i, 2, "::") != 0) return false;
        i += 2;
    }
    return false;
}

std::string json_text(const nlohmann::json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_null()) return "";
    return v.dump();
}

ExceptionPtr build(const std::string& type, const nlohmann::json& params, const std::string& tmpl,
                   const std::vector<std::string>& args, bool from_params) {
    if (!valid_type(type)) throw PlainError("Cannot load the exception class \"Norvik::Exception::" + type + "\".");
    exception::Factory factory = nullptr;
    {
        std::lock_guard<std::mutex> lock(registry_mutex());
        auto it = registry().find(type);
        if (it != registry().end()) factory = it->second;
    }
    if (factory) return factory(type, params, tmpl, args, from_params);
    if (from_params) return std::make_shared<Exception>(type, params);
    return std::make_shared<Exception>(type, tmpl, args);
}

}  // namespace

ExceptionPtr create_raw_impl(const std::string& type, const std::string& text) {
    auto e = build(type, nlohmann::json::object(), text, {}, false);
    e->raw_ = true;
    return e;
}

Exception::Exception(std::string type, std::string message_template, std::vector<std::string> args)
    : type_(std::move(type)), template_(std::move(message_template)), args_(std::move(args)) {
    init_common();
}

Exception::Exception(std::string type, nlohmann::json params)
    : type_(std::move(type)),
      from_params_(true),
      params_(params.is_object() ? std::move(params) : nlohmann::json::object()) {
    init_common();
}

void Exception::init_common() {
    id_ = new_id();
    if (suppress_depth().load() == 0) longmess_ = ::norvik::exception::stack_trace(3);
}

bool Exception::is_service_exception() const {
    return type_.rfind("Services::", 0) == 0 || type_.rfind("Service::", 0) == 0;
}

nlohmann::json Exception::get(const std::string& key) const {
    auto it = params_.find(key);
    return it == params_.end() ? nlohmann::json() : *it;
}

std::string Exception::get_text(const std::string& key) const { return json_text(get(key)); }

void Exception::set(const std::string& key, nlohmann::json value) {
    params_[key] = std::move(value);
    what_cache_.clear();
}

std::string Exception::message_from_params() const {
    if (params_.contains("message")) return json_text(params_["message"]);
    if (params_.empty()) return "An error of type \"" + class_name() + "\" occurred.";
    std::string text = class_name() + ":";
    for (auto it = params_.begin(); it != params_.end(); ++it) text += " " + it.key() + "=" + json_text(it.value());
    return text;
}

std::string Exception::to_string_no_id() const {
    if (from_params_) return message_from_params();
    if (raw_) return template_;
    if (template_.empty()) return "An error of type \"" + class_name() + "\" occurred.";
    return ::norvik::exception::interpolate_variables(template_, args_);
}

std::string Exception::to_string() const { return "(XID " + id_ + ") " + to_string_no_id(); }

const char* Exception::what() const noexcept {
    try {
        what_cache_ = to_string_no_id();
    } catch (const std::exception&) {  // what() may not throw: a fixed text stands in
        return "exception";
    }
    return what_cache_.c_str();
}

namespace exception {

ExceptionPtr create(const std::string& type, const std::string& tmpl, const std::vector<std::string>& args) {
    return build(type, nlohmann::json::object(), tmpl, args, false);
}
ExceptionPtr create(const std::string& type, const nlohmann::json& params) { return build(type, params, "", {}, true); }
ExceptionPtr create(const std::string& type) { return build(type, nlohmann::json::object(), "", {}, true); }
ExceptionPtr create_raw(const std::string& type, const std::string& text) { return create_raw_impl(type, text); }

void raise(const std::string& type, const std::string& tmpl, const std::vector<std::string>& args) {
    create(type, tmpl, args)->raise();
    __builtin_unreachable();
}
void raise(const std::string& type, const nlohmann::json& params) {
    create(type, params)->raise();
    __builtin_unreachable();
}
void raise_raw(const std::string& type, const std::string& text) {
    create_raw(type, text)->raise();
    __builtin_unreachable();
}

std::string get_string(const std::exception& e) {
    if (auto* ne = dynamic_cast<const Exception*>(&e)) return ne->to_string();
    return e.what();
}

std::string get_string(const std::exception_ptr& ep) {
    if (!ep) return "";
    try {
        std::rethrow_exception(ep);
    } catch (const std::exception& e) {
        return get_string(e);
    } catch (...) {  // an exception_ptr may hold any type; it still needs a text
        return "unknown error";
    }
}

std::string get_string(const std::string& text) { return text; }

void register_type(const std::string& type, Factory factory) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    registry()[type] = factory;
}

StackTraceSuppressor::StackTraceSuppressor() { ++suppress_depth(); }
StackTraceSuppressor::~StackTraceSuppressor() { --suppress_depth(); }
StackTraceSuppressor get_stack_trace_suppressor() { return StackTraceSuppressor(); }

std::string interpolate_variables(const std::string& tmpl, const std::vector<std::string>& args) {
    std::string out;
    out.reserve(tmpl.size());
    for (size_t i = 0; i < tmpl.size(); ++i) {
        char c = tmpl[i];
        if (c == '~' && i + 1 < tmpl.size() && (tmpl[i + 1] == '[' || tmpl[i + 1] == ']' || tmpl[i + 1] == '~')) {
            out += tmpl[++i];
            continue;
        }
        if (c != '[') {
            out += c;
            continue;
        }
        size_t close = tmpl.find(']', i);
        if (close == std::string::npos) {
            out += tmpl.substr(i);
            break;
        }
        std::string inner = tmpl.substr(i + 1, close - i - 1);
        std::string head = inner.substr(0, inner.find(','));
        std::string rest = inner.find(',') == std::string::npos ? "" : inner.substr(inner.find(',') + 1);
        auto arg_of = [&](const std::string& ref, std::string& value) {
            if (ref.size() < 2 || ref[0] != '_') return false;
            for (size_t k = 1; k < ref.size(); ++k)
                if (!std::isdigit(static_cast<unsigned char>(ref[k]))) return false;
            // However many digits: a number past the list is a missing argument.
            size_t n = 0;
            for (size_t k = 1; k < ref.size() && n <= args.size(); ++k) n = n * 10 + static_cast<size_t>(ref[k] - '0');
            value = (n >= 1 && n <= args.size()) ? args[n - 1] : "";
            return true;
        };
        std::string value;
        if (arg_of(head, value) && rest.empty()) {
            out += value;
        } else if (head == "asis" || head == "output") {
            out += rest.substr(rest.find(',') == std::string::npos || head == "asis" ? 0 : rest.find(',') + 1);
        } else if (head == "quant" || head == "numf" || head == "list_and" || head == "list_or" || head == "join") {
            // Plural, number and list forms reduce to their first argument here.
            std::string first = rest.substr(0, rest.find(','));
            if (arg_of(first, value)) out += value;
            else out += first;
        } else {
            out += '[' + inner + ']';
        }
        i = close;
    }
    return out;
}

std::string stack_trace(int skip) {
    void* frames[64];
    int n = backtrace(frames, 64);
    char** names = backtrace_symbols(frames, n);
    std::string out;
    for (int i = skip; i < n && names; ++i) {
        out += " at ";
        out += names[i];
        out += '\n';
    }
    free(names);
    return out;
}

}  // namespace exception
}  // namespace norvik
