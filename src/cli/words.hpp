// What the entry makes of words it does not take itself: the help request
// in its every spelling, and options that look like a known one mistyped.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace norvik::cli {

// -h, help, -help, and --help or any prefix of it that names nothing else
// (--he, -hel; not --h, which --hard shares).
bool is_help_request(const std::string& arg);

// Every name the program takes as an option or an option word, without
// dashes: parseargv's spellings and the words the entry and the service
// object test.
const std::vector<std::string>& known_names();

// An argument that is no known option but lies within a small edit
// distance of known ones, or is an ambiguous prefix of several.
struct Mistyped {
    std::string arg;
    std::vector<std::string> candidates;  // with their dashes, sorted
};

// The verdict on the option-like arguments (up to a "--"), in order.
// `is_custom_action` (may be empty) tells the words the service defines
// as custom actions: those are known.
struct OptionReview {
    std::vector<Mistyped> mistyped;
    std::vector<std::string> unknown;  // passed on as they are
};
OptionReview review_options(const std::vector<std::string>& args,
                            const std::function<bool(const std::string&)>& is_custom_action = {});

// The custom action an argument may name ("events" for "events" or
// "--events": letters only), or "".
std::string custom_action_name(const std::string& arg);

// Edit distance with adjacent transpositions counted as one edit.
size_t edit_distance(const std::string& a, const std::string& b);

// "did you mean --status?" / "did you mean --start, --status or --stop?"
std::string suggestion(const Mistyped& m);

}  // namespace norvik::cli
