// Runs code in a child and brings back what it returned or raised. The
// child's record travels through a pipe as one CBOR message. A child's error
// never raises in the parent: see had_error(), exception(),
// structured_exception(). Leaves norvik::child_status() untouched (except
// do_in_child, which sets it).
//
//   norvik::run::ForkSync fs([] { return nlohmann::json(compute()); });
//   if (!fs.had_error()) use(fs.return_value());
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "exception/untrusted.hpp"
#include "run/child_error_text.hpp"

namespace norvik::run {

class ForkSync : public ChildErrorStringifier {
public:
    using Code = std::function<nlohmann::json()>;
    using ParentCode = std::function<void(pid_t child)>;

    explicit ForkSync(const Code& code, bool quiet = false);
    static ForkSync new_with_parent_callback(const ParentCode& parent_code, const Code& code, bool quiet = false);
    static ForkSync new_quiet(const Code& code) { return ForkSync(code, true); }

    // What the code returned: a JSON array with one element (the value), or
    // an empty array when the code raised or nothing came back.
    const nlohmann::json& return_values() const { return _return; }
    // The single value (null when there is none).
    nlohmann::json return_value() const;

    const std::string& exception() const { return _exception; }
    const std::string& full_exception_text() const { return _full_exception_text; }
    // For exceptions of the norvik::Exception family: the rebuilt exception.
    const std::shared_ptr<UntrustedException>& structured_exception() const { return _structured_exception; }
    // For a thrown nlohmann::json (plain data): the data itself; else null.
    const nlohmann::json& structured_exception_data() const { return structured_data_; }
    // errno carried by the child's exception ("error" attribute), 0 if none.
    int exception_errno() const { return exception_errno_; }
    const std::string& retrieve_error() const { return _retrieve_err; }
    pid_t pid() const { return _pid; }
    int had_error() const;

    // The code's value computed in a child; nothing when retrieval failed,
    // nothing came back or the status is non-zero. Sets child_status().
    static std::optional<nlohmann::json> do_in_child(const Code& code);

private:
    ForkSync() = default;
    void run(const ParentCode* parent_code, const Code& code, bool quiet);
    // Keeps what the child's record says.
    void take_result(const nlohmann::json& msg);

    pid_t _pid = 0;
    std::string _retrieve_err;
    nlohmann::json _return = nlohmann::json::array();
    std::string _exception;
    std::string _full_exception_text;
    std::shared_ptr<UntrustedException> _structured_exception;
    nlohmann::json structured_data_;
    int exception_errno_ = 0;
};

}  // namespace norvik::run
