// Explains a wait status (exit code = status >> 8, signal = status & 127,
// core flag = status & 128) in words and as an exception. The base of the
// command runner and of ForkSync.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "exception/exception.hpp"

namespace norvik::run {

// Exception types made by to_exception(); catch them by C++ type or by
// class_name(). Parameters: program, pid (when known), exit_code or
// signal_code/signal_name, timeout, stdout, stderr.
NORVIK_DECLARE_EXCEPTION(ProcessFailedError)    // "ProcessFailed::Error"
NORVIK_DECLARE_EXCEPTION(ProcessFailedSignal)   // "ProcessFailed::Signal"
NORVIK_DECLARE_EXCEPTION(ProcessFailedTimeout)  // "ProcessFailed::Timeout"

class ChildErrorStringifier {
public:
    ChildErrorStringifier() = default;
    explicit ChildErrorStringifier(int status, std::string program_name = "");
    virtual ~ChildErrorStringifier() = default;
    ChildErrorStringifier(const ChildErrorStringifier&) = default;
    ChildErrorStringifier& operator=(const ChildErrorStringifier&) = default;
    ChildErrorStringifier(ChildErrorStringifier&&) = default;
    ChildErrorStringifier& operator=(ChildErrorStringifier&&) = default;

    int wait_status() const { return wait_status_; }
    // Nothing for status 0, else status >> 8 (0 for a child ended by a signal).
    std::optional<int> error_code() const;
    // Symbolic errno name equal to the exit code ("ENOENT" for 2), or "".
    std::string error_name() const;
    // Nothing for status 0, else status & 127.
    std::optional<int> signal_code() const;
    // "TERM", "KILL"... for signal_code(), "" when none.
    std::string signal_name() const;
    bool dumped_core() const { return (wait_status_ & 128) != 0; }
    bool exec_failed() const { return _exec_failed; }

    const std::string& program() const { return program_name_; }
    void set_program(std::string name) { program_name_ = std::move(name); }

    // Nothing for status 0; otherwise the phrases joined with " ".
    std::optional<std::string> autopsy() const;
    // "SIGTERM (#15)", "Exit 3", "OK" (+ " (+core)").
    std::string terse_autopsy() const;
    // Nothing for status 0 (and no time-out), else the exception to raise.
    virtual ExceptionPtr to_exception() const;
    // Raises to_exception() when there is one.
    const ChildErrorStringifier& die_if_error() const;

protected:
    // Hooks for subclasses.
    virtual std::string error_phrase() const;
    virtual std::string signal_phrase() const;
    virtual std::vector<std::string> extra_autopsy_phrases() const { return {}; }
    virtual nlohmann::json extra_error_args() const { return nlohmann::json::object(); }

    int wait_status_ = 0;
    std::string program_name_;
    bool _exec_failed = false;
};

}  // namespace norvik::run
