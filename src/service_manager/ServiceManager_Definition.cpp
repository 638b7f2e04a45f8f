#include "service_manager/ServiceManager_Definition.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "exception/Exception.hpp"
#include "foundation/LoadFile.hpp"
#include "foundation/Paths.hpp"

namespace norvik::servicemanager {

namespace {

const char* const ROOT_PLACEHOLDER = "${NORVIK_ROOT}";
const char* const HOOK_NAMES[] = {"start_check", "stop_check", "restart_check", "restart_attempt", "pidfile_precheck"};

// "${NORVIK_ROOT}" stands for the sandbox root ("" on a real system), so one
// definition serves both.
std::string expand(const std::string& s) {
    std::string out;
    size_t pos = 0;
    const std::string ph = ROOT_PLACEHOLDER;
    for (;;) {
        size_t f = s.find(ph, pos);
        if (f == std::string::npos) break;
        out += s.substr(pos, f - pos);
        out += paths::root();
        pos = f + ph.size();
    }
    return out + s.substr(pos);
}

nlohmann::json expand_json(const nlohmann::json& v) {
    if (v.is_string()) return expand(v.get<std::string>());
    if (v.is_array()) {
        nlohmann::json a = nlohmann::json::array();
        for (const auto& e : v) a.push_back(expand_json(e));
        return a;
    }
    return v;
}

std::vector<std::string> argument_list(const nlohmann::json& v, const std::string& what) {
    if (!v.is_array() || v.empty()) throw PlainError(what + " must be a non-empty list of texts");
    std::vector<std::string> out;
    for (const auto& e : v) {
        if (!e.is_string()) throw PlainError(what + " must be a non-empty list of texts");
        out.push_back(expand(e.get<std::string>()));
    }
    // Run without a shell and without a PATH search: the program is named
    // by its full path.
    if (out[0].empty() || out[0][0] != '/') throw PlainError(what + ": the program must be an absolute path");
    return out;
}

}  // namespace

Definition Definition::parse(const std::string& text, const std::string& file, const std::string& class_name) {
    Definition d;
    d.file = file;
    d.class_name = class_name;
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {  // also out_of_range: a number too large
        throw PlainError(std::string("invalid JSON: ") + e.what());
    }
    if (!j.is_object()) throw PlainError("the definition must be a JSON object");
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& key = it.key();
        const auto& v = it.value();
        if (key == "base") {
            if (!v.is_string() || (v != "Base" && v != "Hot")) throw PlainError("\"base\" must be \"Base\" or \"Hot\"");
            d.base = v.get<std::string>();
        } else if (key == "attributes") {
            if (!v.is_object()) throw PlainError("\"attributes\" must be an object");
            for (auto a = v.begin(); a != v.end(); ++a) {
                std::string err = definition_attribute_type_error(a.key(), a.value());
                if (!err.empty()) throw PlainError(err);
                d.attributes[a.key()] = expand_json(a.value());
            }
        } else if (key == "hooks") {
            if (!v.is_object()) throw PlainError("\"hooks\" must be an object");
            for (auto h = v.begin(); h != v.end(); ++h) {
                bool known = false;
                for (const char* n : HOOK_NAMES) known = known || h.key() == n;
                if (!known) throw PlainError("unknown hook \"" + h.key() + "\"");
                d.hooks[h.key()] = argument_list(h.value(), "hook \"" + h.key() + "\"");
            }
        } else if (key == "actions") {
            if (!v.is_object()) throw PlainError("\"actions\" must be an object");
            static const std::regex word("^[a-z]+$");
            for (auto a = v.begin(); a != v.end(); ++a) {
                if (!std::regex_match(a.key(), word))
                    throw PlainError("action name \"" + a.key() + "\" must be a lower-case word");
                d.actions[a.key()] = argument_list(a.value(), "action \"" + a.key() + "\"");
            }
        } else if (key == "comment" || key == "description") {
            // Free text for the administrator.
        } else {
            throw PlainError("unknown key \"" + key + "\"");
        }
    }
    if (d.base != "Hot" && d.attributes.contains("is_graceful_restart_enabled"))
        throw PlainError("attribute \"is_graceful_restart_enabled\" needs \"base\": \"Hot\"");
    return d;
}

std::optional<Definition> Definition::find(const std::string& suffix) {
    const std::string class_name = "Norvik::ServiceManager::Services::" + suffix;
    for (const std::string& dir : {paths::custom_services_dir(), paths::builtin_services_dir()}) {
        std::string file = dir + "/" + suffix + ".json";
        auto read = loadfile::read_regular_file(file);
        if (!read.text) {
            if (read.error == ENOENT || read.error == ENOTDIR || read.error == ENAMETOOLONG) continue;
            throw PlainError("The service definition " + file + " could not be loaded: " + read.reason);
        }
        try {
            return parse(*read.text, file, class_name);
        } catch (const PlainError& e) {
            throw PlainError("The service definition " + file + " could not be loaded: " + e.text());
        }
    }
    return std::nullopt;
}

}  // namespace norvik::servicemanager
