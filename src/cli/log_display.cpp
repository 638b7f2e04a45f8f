#include "cli/log_display.hpp"

#include "exception/exception.hpp"
#include "output/output.hpp"
#include "initd/service_log.hpp"

namespace norvik::cli {

Display::Display(std::string service, std::shared_ptr<norvik::Output> output_obj, bool service_via_systemd,
                 std::string unit)
    : service_(std::move(service)),
      output_obj_(std::move(output_obj)),
      service_via_systemd_(service_via_systemd),
      unit_(std::move(unit)) {
    if (service_.empty()) exception::raise("MissingParameter", nlohmann::json{{"name", "service"}});
    if (!output_obj_) exception::raise("MissingParameter", nlohmann::json{{"name", "output_obj"}});
}

int Display::show_startup_log(bool after_failure) {
    try {
        auto [ok, text] =
            initd::fetch_service_startup_log(unit_.empty() ? service_ : unit_, service_via_systemd_, after_failure);
        if (ok && !text.empty()) output_obj_->display_message_set("Startup Log", text);
    } catch (const std::exception&) {
        // Nothing to show.
    }
    try {
        auto [ok, text] = initd::fetch_service_log_messages(service_, service_);
        if (ok && !text.empty()) output_obj_->display_message_set("Log Messages", text);
    } catch (const std::exception&) {
        // Nothing to show.
    }
    return 1;
}

}  // namespace norvik::cli
