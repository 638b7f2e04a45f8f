#include "service/request.hpp"

namespace norvik::service {

const char* action_word(Request::Action action) {
    switch (action) {
        case Request::Action::Stop:
            return "STOP";
        case Request::Action::Reload:
            return "RELOAD";
        case Request::Action::Status:
            return "STATUS";
        case Request::Action::Check:
            return "CHECK";
        case Request::Action::Restart:
            break;
    }
    return "RESTART";
}

}  // namespace norvik::service
