#include "run/child_error_text.hpp"

#include "run/errno_names.hpp"

namespace norvik::run {
namespace {

const bool registered = [] {
    exception::register_class<ProcessFailedError>("ProcessFailed::Error");
    exception::register_class<ProcessFailedSignal>("ProcessFailed::Signal");
    exception::register_class<ProcessFailedTimeout>("ProcessFailed::Timeout");
    return true;
}();

}  // namespace

ChildErrorStringifier::ChildErrorStringifier(int status, std::string program_name)
    : wait_status_(status), program_name_(std::move(program_name)) {}

std::optional<int> ChildErrorStringifier::error_code() const {
    if (wait_status_ == 0) return std::nullopt;
    return (wait_status_ >> 8) & 0xff;
}

std::string ChildErrorStringifier::error_name() const {
    auto code = error_code();
    if (!code || *code == 0) return "";
    return run::get_name_for_errno_number(*code);
}

std::optional<int> ChildErrorStringifier::signal_code() const {
    if (wait_status_ == 0) return std::nullopt;
    return wait_status_ & 127;
}

std::string ChildErrorStringifier::signal_name() const {
    auto sig = signal_code();
    if (!sig || *sig == 0) return "";
    return run::signal_name(*sig);
}

std::string ChildErrorStringifier::error_phrase() const {
    std::string code = std::to_string(error_code().value_or(0));
    if (program_name_.empty())
        return exception::interpolate_variables("The subprocess ended with exit status [_1].", {code});
    return exception::interpolate_variables("“[_1]” ended with exit status [_2].", {program_name_, code});
}

std::string ChildErrorStringifier::signal_phrase() const {
    std::string num = std::to_string(signal_code().value_or(0));
    if (program_name_.empty())
        return exception::interpolate_variables(
            "The subprocess ended prematurely because it received the “[_1]” ([_2]) signal.", {signal_name(), num});
    return exception::interpolate_variables("“[_1]” ended prematurely because it received the “[_2]” ([_3]) signal.",
                                            {program_name_, signal_name(), num});
}

std::optional<std::string> ChildErrorStringifier::autopsy() const {
    if (wait_status_ == 0) return std::nullopt;
    std::vector<std::string> phrases;
    if (error_code().value_or(0) != 0) phrases.push_back(error_phrase());
    else phrases.push_back(signal_phrase());
    if (dumped_core()) phrases.push_back("The subprocess produced a core dump.");
    for (auto& p : extra_autopsy_phrases()) phrases.push_back(p);
    std::string out;
    for (auto& p : phrases) {
        if (!out.empty()) out += ' ';
        out += p;
    }
    return out;
}

std::string ChildErrorStringifier::terse_autopsy() const {
    std::string out;
    int sig = wait_status_ & 127;
    int code = (wait_status_ >> 8) & 0xff;
    if (sig) out = "SIG" + run::signal_name(sig) + " (#" + std::to_string(sig) + ")";
    else if (code) out = "Exit " + std::to_string(code);
    else out = "OK";
    if (dumped_core()) out += " (+core)";
    return out;
}

ExceptionPtr ChildErrorStringifier::to_exception() const {
    if (wait_status_ == 0) return nullptr;
    ExceptionPtr e;
    nlohmann::json params = {{"program", program_name_}};
    int code = error_code().value_or(0);
    if (code == 0) {
        params["signal_code"] = signal_code().value_or(0);
        params["signal_name"] = signal_name();
        e = exception::create("ProcessFailed::Signal", "[_1]", {autopsy().value_or("")});
    } else {
        params["exit_code"] = code;
        params["error_name"] = error_name();
        e = exception::create("ProcessFailed::Error", "[_1]", {autopsy().value_or("")});
    }
    const auto extra = extra_error_args();
    for (auto& [k, v] : extra.items()) params[k] = v;
    for (auto& [k, v] : params.items()) e->set(k, v);
    return e;
}

const ChildErrorStringifier& ChildErrorStringifier::die_if_error() const {
    if (auto e = to_exception()) e->raise();
    return *this;
}

}  // namespace norvik::run
