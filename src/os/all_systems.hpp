// The catalogue of the distributions with a class of their own.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "os/linux_system.hpp"

namespace norvik::os {

// (name, major) pairs, e.g. ("ubuntu", 22).
const std::vector<std::pair<std::string, int>>& supported_distros();
// The class named "Norvik::OS::<Name><major>", or nullptr when there is none.
std::shared_ptr<const DistroClass> find_class(const std::string& class_name);
// The generic Linux class.
std::shared_ptr<const DistroClass> linux_class();

}  // namespace norvik::os
