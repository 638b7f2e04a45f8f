// Shows a service's startup log and its recent log lines through the
// output object, each under its own heading.
#pragma once

#include <memory>
#include <string>

namespace norvik {
class Output;
}

namespace norvik::cli {

class Display {
public:
    // Raises "MissingParameter" (param name) when service is empty or
    // output_obj is null. `unit`: the systemd unit the service maps to,
    // whose journal is the startup log ("" when it is the service's name).
    Display(std::string service, std::shared_ptr<norvik::Output> output_obj, bool service_via_systemd = false,
            std::string unit = "");
    // Shows what there is; failures are not shown. 1. `after_failure`: the
    // action failed, so the journal is brought up to date first.
    int show_startup_log(bool after_failure = false);

private:
    std::string service_;
    std::shared_ptr<norvik::Output> output_obj_;
    bool service_via_systemd_;
    std::string unit_;
};

}  // namespace norvik::cli
