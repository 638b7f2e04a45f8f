#include "cli/arguments.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "output/output.hpp"
#include "foundation/text.hpp"

namespace norvik::cli {

using foundation::lower;

// ---------------------------------------------------------------------------
// Option parsing with pass-through: recognised options are removed, anything
// else stays where it was. Long names may be given with one or two dashes, in
// any case, abbreviated to a unique prefix, and negated as --no-X / --noX
// where the option allows it.

namespace {

// A switch is a flag that may also carry a yes/no value (--graceful=0).
enum class Kind { Flag, Value, Switch };

// The words a switch takes as its value, given inline or as the next word.
bool is_switch_value(const std::string& word) {
    static const char* const words[] = {"0", "1", "yes", "no", "true", "false", "on", "off"};
    const std::string w = foundation::lower(word);
    return std::any_of(std::begin(words), std::end(words), [&](const char* x) { return w == x; });
}

struct OptionSpec {
    const char* name;
    Kind kind;
    bool negatable;
};

const OptionSpec OPTIONS[] = {
    {"status", Kind::Flag, true},
    {"check", Kind::Flag, true},
    {"verbose", Kind::Flag, true},
    {"debug", Kind::Flag, true},
    {"restart-attempt", Kind::Value, false},
    {"stop", Kind::Flag, true},
    {"reload", Kind::Flag, true},
    {"restart", Kind::Flag, true},
    {"graceful", Kind::Switch, true},
};

struct Spelling {
    std::string text;
    const OptionSpec* option;
    bool negated;
};

const std::vector<Spelling>& spellings() {
    static const std::vector<Spelling> all = [] {
        std::vector<Spelling> v;
        for (const auto& o : OPTIONS) {
            v.push_back({o.name, &o, false});
            if (o.negatable) {
                v.push_back({std::string("no") + o.name, &o, true});
                v.push_back({std::string("no-") + o.name, &o, true});
            }
        }
        return v;
    }();
    return all;
}

// The option a name stands for: an exact spelling, else the one option
// (and sense) that every spelling starting with it shares.
const Spelling* find_spelling(const std::string& name) {
    for (const auto& s : spellings())
        if (s.text == name) return &s;
    const Spelling* found = nullptr;
    for (const auto& s : spellings()) {
        if (s.text.compare(0, name.size(), name) != 0) continue;
        if (found && (found->option != s.option || found->negated != s.negated)) return nullptr;
        if (!found) found = &s;
    }
    return found;
}

}  // namespace

std::vector<std::string> option_spellings() {
    std::vector<std::string> v;
    for (const auto& sp : spellings()) v.push_back(sp.text);
    return v;
}

bool parseargv_takes(const std::string& name) { return !name.empty() && find_spelling(name) != nullptr; }

namespace {

// Sets what one recognised option asks for; `text` is its value, if any.
void apply_option(ParsedArgs& r, const OptionSpec& o, bool value, const std::string& text) {
    std::string n = o.name;
    if (n == "status") r.status = value;
    else if (n == "check") r.check = value;
    else if (n == "verbose") r.verbose = value ? 1 : 0;
    else if (n == "debug") r.verbose = value ? 2 : 0;
    else if (n == "restart-attempt") r.restart_attempts = text;
    else if (n == "graceful") r.graceful = value ? (text.empty() ? "1" : text) : "0";
    else if (n == "stop" || n == "reload") {
        r.restart = value ? (n == "stop" ? STOP : RELOAD) : RESTART;
        r.check = false;
        r.status = false;
    } else if (n == "restart") {
        if (value) {
            r.restart = RESTART;
            r.check = false;
            r.status = false;
        } else {
            r.restart = 0;
        }
    }
}

// Takes words[i] (and its value from the next word, advancing `i`) when it
// is one of our options; false leaves it to the caller's words.
bool take_option(const std::vector<std::string>& words, size_t& i, ParsedArgs& r) {
    const std::string& arg = words[i];
    if (arg.size() < 2 || arg[0] != '-') return false;
    std::string body = arg.substr(arg[1] == '-' ? 2 : 1);
    std::optional<std::string> inline_value;
    if (auto eq = body.find('='); eq != std::string::npos) {
        inline_value = body.substr(eq + 1);
        body.resize(eq);
    }
    const Spelling* sp = body.empty() ? nullptr : find_spelling(lower(body));
    if (!sp) return false;
    if (sp->option->kind == Kind::Flag) {
        if (inline_value) return false;  // a flag given a value is not ours
        apply_option(r, *sp->option, !sp->negated, "");
        return true;
    }
    if (sp->option->kind == Kind::Switch) {
        // --no-X takes no value; --X takes a yes/no word inline or next.
        if (sp->negated && inline_value) return false;
        std::string v = inline_value.value_or("");
        if (!sp->negated && !inline_value && i + 1 < words.size() && is_switch_value(words[i + 1])) v = words[++i];
        apply_option(r, *sp->option, !sp->negated, v);
        return true;
    }
    if (inline_value) {
        apply_option(r, *sp->option, true, *inline_value);
        return true;
    }
    if (i + 1 < words.size() && (words[i + 1].empty() || words[i + 1][0] != '-')) {
        apply_option(r, *sp->option, true, words[i + 1]);
        ++i;
        return true;
    }
    return false;  // a value option without its value
}

// A query drops what only a restart takes; asking for no restart asks for
// the status.
void settle(ParsedArgs& r) {
    if (r.status || r.check) {
        r.restart = 0;
        r.graceful.reset();
        r.restart_attempts.reset();
    } else if (!r.restart) {
        r.status = true;
        r.graceful.reset();
        r.restart_attempts.reset();
    }
}

}  // namespace

ParsedArgs parseargv(std::vector<std::string>& args) {
    ParsedArgs r;
    const std::vector<std::string> copy = args;
    std::vector<std::string> rest;
    for (size_t i = 0; i < copy.size(); ++i) {
        if (copy[i] == "--") {
            // Everything from the terminator on is left alone.
            rest.insert(rest.end(), copy.begin() + static_cast<std::ptrdiff_t>(i), copy.end());
            break;
        }
        if (!take_option(copy, i, r)) rest.push_back(copy[i]);
    }
    args = std::move(rest);
    settle(r);
    return r;
}

bool is_query_request(const std::vector<std::string>& args) {
    std::vector<std::string> copy = args;
    ParsedArgs r = parseargv(copy);
    return r.status || r.check;
}

namespace {

bool has_word(const std::vector<std::string>& args, const char* word) {
    return std::find(args.begin(), args.end(), word) != args.end();
}

}  // namespace

service::Request make_request(const std::vector<std::string>& args, bool started_by_init, bool json_lines) {
    using Action = service::Request::Action;
    service::Request req;
    std::vector<std::string> rest = args;
    const ParsedArgs pr = parseargv(rest);
    if (pr.check) req.action = Action::Check;
    else if (pr.status) req.action = Action::Status;
    else req.action = pr.restart == STOP ? Action::Stop : pr.restart == RELOAD ? Action::Reload : Action::Restart;
    req.verbose = pr.verbose;

    const bool hard = std::any_of(std::begin(HARD_RESTART_WORDS), std::end(HARD_RESTART_WORDS),
                                  [&](const char* w) { return has_word(args, w); });
    if (hard) {
        req.graceful = false;
    } else if (pr.graceful && !pr.graceful->empty()) {
        const std::string g = lower(*pr.graceful);
        req.graceful = !(g == "0" || g == "false" || g == "no");
    }
    // Anything else than a small count is no attempt number.
    const auto& n = pr.restart_attempts;
    if (n && !n->empty() && n->size() < 9 &&
        std::all_of(n->begin(), n->end(), [](char c) { return c >= '0' && c <= '9'; }))
        req.restart_attempt = std::stoi(*n);

    for (const char* w : FORCE_WORDS)
        if (has_word(args, w)) req.force = true;
    req.use_initd = has_word(args, INITD_SWITCH);
    req.ignore_systemd = has_word(args, IGNORE_SYSTEMD_WORD);
    req.html = std::any_of(args.begin(), args.end(),
                           [](const std::string& a) { return a.find(HTML_MARKER) != std::string::npos; });
    req.json_lines = json_lines;
    req.started_by_init = started_by_init;
    req.absent_ok = has_word(args, ABSENT_IS_SUCCESS_WORD);
    req.fpm_status = std::none_of(args.begin(), args.end(), [](const std::string& a) {
        return a.find(STATUS_SUPPRESSION_MARKER) != std::string::npos;
    });
    for (const auto& a : args) {
        const std::string name = a.rfind("--", 0) == 0 ? a.substr(2) : a;
        if (!name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isalpha(c); }))
            req.custom_action_words.push_back(name);
    }
    return req;
}

void print_check_mode_header(bool json_lines) {
    const char* header = std::getenv("RESTARTSRV_CHECKMODE_HEADER");
    if (!header || !*header || std::string(header) == "0") return;
    if (json_lines) {
        norvik::Output().message(output::TYPE_HEADER, CHECKMODE_HEADER_LINE);
        return;
    }
    std::fputs(CHECKMODE_HEADER_LINE, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace norvik::cli
