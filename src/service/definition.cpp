#include "service/definition.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "exception/exception.hpp"
#include "foundation/load_file.hpp"
#include "foundation/paths.hpp"
#include "foundation/state_file.hpp"
#include "os/os.hpp"

namespace norvik::service {

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
        out += foundation::root();
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

namespace {

// One layer of values: the top level, a family's part or a variant.
struct Section {
    nlohmann::json attributes = nlohmann::json::object();
    std::map<std::string, std::vector<std::string>> hooks;
    std::map<std::string, std::vector<std::string>> actions;
    std::string when_installed;               // variants only
    std::vector<Section> variants;            // top level and families
    std::map<std::string, Section> families;  // top level only
};

enum class Level { Top, Family, Variant };

const char* const FAMILY_NAMES[] = {"debian", "rhel"};

void read_attributes(const nlohmann::json& v, Section& s, const std::string& where) {
    if (!v.is_object()) throw PlainError(where + "\"attributes\" must be an object");
    for (auto a = v.begin(); a != v.end(); ++a) {
        std::string err = definition_attribute_type_error(a.key(), a.value());
        if (!err.empty()) throw PlainError(where + err);
        s.attributes[a.key()] = expand_json(a.value());
    }
}

void read_hooks(const nlohmann::json& v, Section& s, const std::string& where) {
    if (!v.is_object()) throw PlainError(where + "\"hooks\" must be an object");
    for (auto h = v.begin(); h != v.end(); ++h) {
        bool known = false;
        for (const char* n : HOOK_NAMES) known = known || h.key() == n;
        if (!known) throw PlainError(where + "unknown hook \"" + h.key() + "\"");
        s.hooks[h.key()] = argument_list(h.value(), where + "hook \"" + h.key() + "\"");
    }
}

void read_actions(const nlohmann::json& v, Section& s, const std::string& where) {
    if (!v.is_object()) throw PlainError(where + "\"actions\" must be an object");
    static const std::regex word("^[a-z]+$");
    for (auto a = v.begin(); a != v.end(); ++a) {
        if (!std::regex_match(a.key(), word))
            throw PlainError(where + "action name \"" + a.key() + "\" must be a lower-case word");
        s.actions[a.key()] = argument_list(a.value(), where + "action \"" + a.key() + "\"");
    }
}

Section read_section(const nlohmann::json& j, Level level, const std::string& where, std::string* base) {
    if (!j.is_object()) throw PlainError(where + "must be a JSON object");
    Section s;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& key = it.key();
        const auto& v = it.value();
        if (key == "attributes") {
            read_attributes(v, s, where);
        } else if (key == "hooks") {
            read_hooks(v, s, where);
        } else if (key == "actions") {
            read_actions(v, s, where);
        } else if (key == "comment" || key == "description") {
            // Free text for the administrator.
        } else if (key == "base" && level == Level::Top) {
            if (!v.is_string() || (v != "Base" && v != "Hot")) throw PlainError("\"base\" must be \"Base\" or \"Hot\"");
            *base = v.get<std::string>();
        } else if (key == "when_installed" && level == Level::Variant) {
            if (!v.is_string()) throw PlainError(where + "\"when_installed\" must be a text");
            s.when_installed = expand(v.get<std::string>());
            if (s.when_installed.empty() || s.when_installed[0] != '/')
                throw PlainError(where + "\"when_installed\" must be an absolute path");
        } else if (key == "variants" && level != Level::Variant) {
            if (!v.is_array()) throw PlainError(where + "\"variants\" must be a list of objects");
            for (size_t i = 0; i < v.size(); ++i)
                s.variants.push_back(
                    read_section(v[i], Level::Variant, where + "variant " + std::to_string(i + 1) + ": ", nullptr));
        } else if (key == "family" && level == Level::Top) {
            if (!v.is_object()) throw PlainError("\"family\" must be an object");
            for (auto f = v.begin(); f != v.end(); ++f) {
                bool known = false;
                for (const char* n : FAMILY_NAMES) known = known || f.key() == n;
                if (!known) throw PlainError("unknown family \"" + f.key() + "\" (known: debian, rhel)");
                s.families[f.key()] = read_section(f.value(), Level::Family, "family \"" + f.key() + "\": ", nullptr);
            }
        } else {
            throw PlainError(where + "unknown key \"" + key + "\"");
        }
    }
    if (level == Level::Variant && s.when_installed.empty())
        throw PlainError(where + "a variant needs \"when_installed\"");
    return s;
}

bool is_executable_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Later layers win, attribute by attribute and hook by hook.
void merge(Definition& d, const Section& s) {
    for (auto it = s.attributes.begin(); it != s.attributes.end(); ++it) d.attributes[it.key()] = it.value();
    for (const auto& [k, v] : s.hooks) d.hooks[k] = v;
    for (const auto& [k, v] : s.actions) d.actions[k] = v;
}

// The section, then the first of its variants whose program is installed.
void merge_with_variant(Definition& d, const Section& s) {
    merge(d, s);
    for (const Section& v : s.variants) {
        if (!is_executable_file(v.when_installed)) continue;
        merge(d, v);
        d.variant = v.when_installed;
        break;
    }
}

}  // namespace

std::string Definition::os_family() {
    try {
        if (os::is_apt_based()) return "debian";
        if (os::is_rpm_based()) return "rhel";
    } catch (const std::exception&) {
        // An unknown system: only the common values apply.
    }
    return "";
}

Definition Definition::parse(const std::string& text, const std::string& file, const std::string& class_name,
                             const std::string& family) {
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
    // Every part is checked, also the families that do not apply here.
    Section top = read_section(j, Level::Top, "", &d.base);
    merge_with_variant(d, top);
    if (auto f = top.families.find(family); f != top.families.end()) {
        d.family = family;
        merge_with_variant(d, f->second);
    }
    if (d.base != "Hot" && d.attributes.contains("is_graceful_restart_enabled"))
        throw PlainError("attribute \"is_graceful_restart_enabled\" needs \"base\": \"Hot\"");
    return d;
}

std::optional<Definition> Definition::find(const std::string& suffix) {
    const std::string class_name = "Norvik::ServiceManager::Services::" + suffix;
    for (const std::string& dir : {foundation::custom_services_dir(), foundation::builtin_services_dir()}) {
        std::string file = dir + "/" + suffix + ".json";
        // Its hooks and actions run as root: only root may have written it.
        auto why = foundation::untrusted_reason(file);
        if (why && !why->empty()) throw PlainError("The service definition " + file + " is ignored: " + *why + ".");
        auto read = foundation::read_regular_file(file);
        if (!read.text) {
            if (read.error == ENOENT || read.error == ENOTDIR || read.error == ENAMETOOLONG) continue;
            throw PlainError("The service definition " + file + " could not be loaded: " + read.reason);
        }
        try {
            return parse(*read.text, file, class_name, os_family());
        } catch (const PlainError& e) {
            throw PlainError("The service definition " + file + " could not be loaded: " + e.text());
        }
    }
    return std::nullopt;
}

}  // namespace norvik::service
