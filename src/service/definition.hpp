// Service definition files: the per-service classes of this program.
//
// A definition is a JSON object:
//   {
//     "base": "Base" | "Hot",                 (default "Base")
//     "attributes": { <attribute>: value },   (any attribute of the service
//                                              object, type-checked)
//     "hooks": { "start_check" | "stop_check" | "restart_check" |
//                "restart_attempt" | "pidfile_precheck": [argv...] },
//     "actions": { <lower-case word>: [argv...] },
//     "variants": [ { "when_installed": "/abs/program", <attributes, hooks,
//                     actions> }, ... ],
//     "family": { "debian" | "rhel": { <attributes, hooks, actions,
//                                       variants> } }
//   }
// Values are laid over one another, later ones winning: the top level, its
// first variant whose program is an executable file, the part of this
// system's family, that part's first installed variant.
// Hooks and actions are argument lists run without a shell; exit status 0
// means true. restart_attempt gets the attempt number appended.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvik::service {

class Definition {
public:
    std::string file;        // where it was loaded from
    std::string class_name;  // Norvik::ServiceManager::Services::<Suffix>
    std::string base = "Base";
    std::string family;   // the family part applied ("" for none)
    std::string variant;  // when_installed of the variant applied last ("" for none)
    nlohmann::json attributes = nlohmann::json::object();
    std::map<std::string, std::vector<std::string>> hooks;
    std::map<std::string, std::vector<std::string>> actions;

    bool has_hook(const std::string& name) const { return hooks.count(name) != 0; }
    bool has_action(const std::string& word) const { return actions.count(word) != 0; }

    // Parses and validates every part; applies the part of `family` ("debian",
    // "rhel" or "" for none). Throws norvik::PlainError with the reason.
    static Definition parse(const std::string& text, const std::string& file, const std::string& class_name,
                            const std::string& family = "");
    // This system's family: "debian" (apt), "rhel" (rpm) or "".
    static std::string os_family();
    // Loads <suffix>.json from the custom directory, else the built-in one.
    // nullopt when no file exists; throws PlainError (naming the file and the
    // error) when one exists but cannot be loaded.
    static std::optional<Definition> find(const std::string& suffix);
};

// The attribute names a definition may set, with their JSON type check.
bool definition_attribute_known(const std::string& name);
// "" when the value suits the attribute, else the reason.
std::string definition_attribute_type_error(const std::string& name, const nlohmann::json& value);

}  // namespace norvik::service
