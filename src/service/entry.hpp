// The service object as the entry driver sees it, over the real Base. The
// driver sits a floor below the service manager, so the program's main hands
// it this factory.
#pragma once

#include <memory>
#include <string>

#include "cli/driver.hpp"

namespace norvik::servicemanager {

// A service object for the service (the factory's `new`: the restart lock
// is held), wrapped for the driver.
std::unique_ptr<restartsrv::ServiceObject> make_entry_service_object(const std::string& service);

}  // namespace norvik::servicemanager
