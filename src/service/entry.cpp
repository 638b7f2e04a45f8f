#include "service/entry.hpp"

#include "output/output.hpp"
#include "service/lock.hpp"
#include "service/factory.hpp"
#include "backend/initd_backend.hpp"

namespace norvik::servicemanager {
namespace {

// The service object the entry drives: the service manager's Base.
class EntryServiceObject : public restartsrv::ServiceObject {
public:
    explicit EntryServiceObject(std::unique_ptr<Base> b) : b_(std::move(b)) {}
    bool has_custom_action(const std::string& word) override { return b_->has_custom_action(word); }
    void run_custom_action(const std::string& word) override { b_->run_custom_action(word); }
    void run_from_argv(const std::vector<std::string>& args) override { b_->run_from_argv(args); }
    std::string service_argv_action() override { return b_->service_argv_action(); }
    void service_argv_action(const std::string& w) override { b_->service_argv_action(w); }
    int verbose() override { return b_->verbose(); }
    std::string service() override { return b_->service(); }
    std::string service_name() override { return b_->service_name(); }
    std::optional<std::string> service_status() override { return b_->service_status(); }
    std::string class_name() override { return b_->class_name(); }
    std::string service_via_systemd() override {
        auto& m = b_->service_manager();
        return m.has_service_via_systemd() ? m.service() : std::string();
    }
    std::string status() override { return b_->status(); }
    std::string init_script() override {
        auto& m = b_->service_manager();
        return m.kind() == "Initd" ? static_cast<manager::Initd&>(m).init_script() : std::string();
    }
    norvik::Output& output_obj() override { return b_->output_obj(); }
    int lock_fd() override {
        auto* l = b_->lock();
        return l && l->is_held() ? l->fd() : -1;
    }

private:
    std::unique_ptr<Base> b_;
};

}  // namespace

std::unique_ptr<restartsrv::ServiceObject> make_entry_service_object(const std::string& service) {
    return std::make_unique<EntryServiceObject>(create(service));
}

}  // namespace norvik::servicemanager
