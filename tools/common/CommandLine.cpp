#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace command_line {

namespace {

// Optimal string alignment distance: insertions, deletions, substitutions
// and swaps of two neighbours each count one.
std::size_t Distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// A usage error found before CLI11 sees the line.
struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Every long option name this app and the option groups in it know, with
// the leading dashes.
void OptionNames(const CLI::App& app, std::vector<std::string>& out) {
    for (const CLI::Option* o : app.get_options())
        for (const auto& name : o->get_lnames()) out.push_back("--" + name);
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (sub->get_name().empty()) OptionNames(*sub, out);
}

std::vector<std::string> Commands(const CLI::App& app) {
    std::vector<std::string> out;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (!sub->get_name().empty()) out.push_back(sub->get_name());
    return out;
}

const CLI::Option* Find(const std::vector<const CLI::App*>& chain, const std::string& name) {
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        if (const CLI::Option* o = (*it)->get_option_no_throw(name)) return o;
    return nullptr;
}

// The words CLI11 would not know, found the way it reads them: the first
// word that is not an option picks the command, options belong to the
// command given before them (or to the program).
void CheckWords(const CLI::App& app, int argc, char** argv, const std::string& program) {
    std::vector<const CLI::App*> chain{&app};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") return;
        if (arg.size() > 1 && arg[0] == '-') {
            const std::string name = arg.substr(0, arg.find('='));
            const CLI::Option* o = Find(chain, name);
            if (!o) {
                std::vector<std::string> known;
                for (const CLI::App* a : chain) OptionNames(*a, known);
                const bool is_long = name.rfind("--", 0) == 0;
                throw Usage("unknown option " + name + (is_long ? DidYouMean(name, known) : std::string()));
            }
            if (arg.find('=') == std::string::npos && o->get_items_expected_min() > 0) ++i;
            continue;
        }
        const std::vector<std::string> commands = Commands(*chain.back());
        if (commands.empty()) continue;  // an operand of the command
        const CLI::App* sub = nullptr;
        for (const CLI::App* s : chain.back()->get_subcommands([](const CLI::App*) { return true; }))
            if (!s->get_name().empty() && s->check_name(arg)) sub = s;
        if (sub) {
            chain.push_back(sub);
            continue;
        }
        if (arg == "help") throw Usage("unknown command help (for help: " + program + " --help)");
        std::string list;
        for (const auto& c : commands) list += (list.empty() ? "" : ", ") + c;
        const std::string near = DidYouMean(arg, commands);
        throw Usage("unknown command " + arg + (near.empty() ? " (the commands: " + list + ")" : near));
    }
}

}  // namespace

std::optional<std::string> Nearest(const std::string& word, const std::vector<std::string>& known) {
    // A slip is a letter or two; a short word must be closer still, or
    // every two-letter word would suggest another.
    const std::size_t allowed = word.size() <= 4 ? 1 : 2;
    std::optional<std::string> best;
    std::size_t best_distance = allowed + 1;
    for (const auto& k : known) {
        const std::size_t d = Distance(word, k);
        if (d < best_distance) {
            best_distance = d;
            best = k;
        }
    }
    return best;
}

std::string DidYouMean(const std::string& word, const std::vector<std::string>& known) {
    const auto near = Nearest(word, known);
    return near ? " (did you mean " + *near + "?)" : std::string();
}

std::string DidYouMeanKey(const std::string& word, const std::vector<std::string>& known,
                          const std::vector<std::pair<std::string, std::string>>& spelled) {
    std::vector<std::string> meant;
    if (const auto near = Nearest(word, known)) {
        meant.push_back(*near);
    } else {
        // A unit follows the quantity's name after an underscore (_ah,
        // _hours, _s, _mv): the name alone is a key with its unit left out.
        for (const auto& k : known)
            if (!word.empty() && k.size() > word.size() + 1 && k.compare(0, word.size(), word) == 0 &&
                k[word.size()] == '_')
                meant.push_back(k);
        if (meant.empty()) {
            std::vector<std::string> full;
            for (const auto& s : spelled) full.push_back(s.second);
            if (const auto near = Nearest(word, full))
                for (const auto& s : spelled)
                    if (s.second == *near) meant.push_back(s.first);
        }
    }
    // More than a few are no help to anyone.
    if (meant.empty() || meant.size() > 3) return {};
    std::string text = " (did you mean ";
    for (std::size_t i = 0; i < meant.size(); ++i)
        text += (i == 0 ? "" : i + 1 == meant.size() ? " or " : ", ") + ("\"" + meant[i] + "\"");
    return text + "?)";
}

namespace {

// A number as people write it: 0.5, 1024, 1e+09.
std::string Shown(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// The number text is, when all of it is one.
std::optional<double> Number(const std::string& text) {
    std::size_t used = 0;
    try {
        const double v = std::stod(text, &used);
        if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

const CLI::Option* FindAnywhere(const CLI::App& app, const std::string& name) {
    if (const CLI::Option* o = app.get_option_no_throw(name)) return o;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (const CLI::Option* o = FindAnywhere(*sub, name)) return o;
    return nullptr;
}

}  // namespace

CLI::Validator Range(double min, double max) {
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            const auto v = Number(text);
            if (!v) return text + " is not a number";
            if (*v < min || *v > max) return "must be from " + Shown(min) + " to " + Shown(max) + ", not " + text;
            return {};
        },
        Shown(min) + ".." + Shown(max));
}

CLI::Validator AboveZero(const std::string& what) {
    return CLI::Validator(
        [what](std::string& text) -> std::string {
            const auto v = Number(text);
            if (!v || !(*v > 0)) return "must be above 0, not " + text + " (leave it out to " + what + ")";
            return {};
        },
        "> 0");
}

std::string Explain(const CLI::App& app, const std::string& what) {
    static const std::string kConvert = "Could not convert: ";
    if (what.rfind(kConvert, 0) == 0) {
        const auto eq = what.find(" = ", kConvert.size());
        if (eq != std::string::npos) {
            const std::string name = what.substr(kConvert.size(), eq - kConvert.size());
            const CLI::Option* o = FindAnywhere(app, name);
            const bool whole = o && o->get_type_name().find("INT") != std::string::npos;
            return name + ": " + what.substr(eq + 3) + " is not " + (whole ? "a whole number" : "a number");
        }
    }
    if (what == "A subcommand is required") {
        std::string list;
        for (const auto& c : Commands(app)) list += (list.empty() ? "" : ", ") + c;
        return "a command is required: " + list;
    }
    return what;
}

std::optional<int> Parse(CLI::App& app, int argc, char** argv, const std::string& program) {
    try {
        CheckWords(app, argc, argv, program);
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        // --help and --version are printed by CLI11 and end with 0.
        if (e.get_exit_code() == 0) return app.exit(e);
        std::cerr << program << ": " << Explain(app, e.what()) << "\n";
    } catch (const Usage& e) {
        std::cerr << program << ": " << e.what() << "\n";
    }
    std::cerr << program << ": see " << program << " --help" << std::endl;
    return kUsage;
}

}  // namespace command_line
