// An exception rebuilt in a parent process from what a child reported: it
// carries the child's class name, text, stack trace and attributes, but is
// not an instance of the child's class (nothing the child sent is trusted to
// pick a C++ type).
#pragma once

#include <exception>
#include <string>

#include <nlohmann/json.hpp>

namespace norvik {

class UntrustedException : public std::exception {
public:
    UntrustedException(std::string class_name, std::string string, std::string longmess, nlohmann::json metadata);

    // Always "Norvik::UntrustedException"; the child's class is untrusted_class().
    std::string class_name() const { return "Norvik::UntrustedException"; }
    const std::string& untrusted_class() const { return class_; }
    const std::string& get_string() const { return string_; }
    const std::string& to_string() const { return string_; }
    const std::string& longmess() const { return longmess_; }
    const nlohmann::json& metadata() const { return metadata_; }
    // An attribute of the child's exception (null when absent).
    nlohmann::json get(const std::string& key) const;

    const char* what() const noexcept override { return string_.c_str(); }

private:
    std::string class_;
    std::string string_;
    std::string longmess_;
    nlohmann::json metadata_;
};

}  // namespace norvik
