// The command runner with a few conveniences on top: extra environment
// variables, a logger that receives the output lines, and buffers that
// receive the output.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "run/saferun.hpp"

namespace norvik::run {

struct ExtraOptions {
    Options base{};                            // base.logger must stay empty
    std::map<std::string, std::string> env{};  // set in the child
    std::shared_ptr<Logger> logger{};          // output lines as info, error lines as warn
    std::string* buffer = nullptr;             // output and error output together
    std::string* stdout_buffer = nullptr;
    std::string* stderr_buffer = nullptr;
};

class Extra : public Object {
public:
    explicit Extra(ExtraOptions options);
    static Extra new_or_die(ExtraOptions options);

private:
    Extra(ExtraOptions& options, int);
};

}  // namespace norvik::run
