// The generic Linux answers to the operating-system facts, and the shape
// every per-distribution class shares: a named class with a table of the
// facts it offers. A derived distribution copies its parent's table and
// replaces the entries that differ.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvik::os {

class Instance;

using Method = std::function<nlohmann::json(const Instance&, const std::vector<nlohmann::json>& args)>;

class DistroClass {
public:
    explicit DistroClass(std::string name) : name_(std::move(name)) {}
    virtual ~DistroClass() = default;
    DistroClass(const DistroClass&) = default;
    DistroClass& operator=(const DistroClass&) = default;

    const std::string& name() const { return name_; }
    bool can(const std::string& method) const { return methods_.count(method) != 0; }
    // Raises a PlainError naming the class and the method when it is absent.
    nlohmann::json call(const std::string& method, const Instance& self,
                        const std::vector<nlohmann::json>& args = {}) const;
    std::vector<std::string> method_names() const;

protected:
    void define(const std::string& method, Method m) { methods_[method] = std::move(m); }
    // A fact with a fixed answer.
    void define_value(const std::string& method, nlohmann::json value);

private:
    std::string name_;
    std::map<std::string, Method> methods_;
};

// The generic Linux class used for any distribution without a class of its own.
class Linux : public DistroClass {
public:
    static constexpr const char* CLASS_NAME = "Norvik::OS::Linux";
    static constexpr const char* DEFAULT_KERNEL = "linux";
    explicit Linux(std::string name = CLASS_NAME);
};

}  // namespace norvik::os
