#pragma once
// The command line of the bench tools, parsed with CLI11 and explained in
// one line that starts with the program's name when it is wrong: an
// unknown command or option is named with the nearest known one ("did you
// mean run?"), so that a slip of the keyboard is not answered with "A
// subcommand is required" or "--config is required".
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
class Validator;
}

namespace command_line {

// Usage errors end a program with this status, whatever CLI11's own code.
constexpr int kUsage = 2;

// The word of known nearest to word, when it is near enough to be a slip
// (a letter or two wrong, missing, extra or swapped); none otherwise.
std::optional<std::string> Nearest(const std::string& word, const std::vector<std::string>& known);

// " (did you mean X?)" for the nearest known word, "" when none is near.
std::string DidYouMean(const std::string& word, const std::vector<std::string>& known);

// The same for a key of a JSON file, the keys quoted as the file writes
// them: a slip of a known key; else the keys that are the word with a unit
// after it ("capacity": "capacity_ah" or "capacity_hours"); else the key
// whose word spelled out the word is a slip of (spelled: pairs of a key
// and its word written in full, "addr" and "address", so "adress" finds
// "addr").  "" when none fits.
std::string DidYouMeanKey(const std::string& word, const std::vector<std::string>& known,
                          const std::vector<std::pair<std::string, std::string>>& spelled = {});

// A number from min to max, both included: "must be from 0 to 1, not 2".
CLI::Validator Range(double min, double max);
// A count or a time above 0, where leaving the option out means what:
// "must be above 0, not -1 (leave it out to run until stopped)".
CLI::Validator AboveZero(const std::string& what);

// CLI11's own text of a usage error in this project's words: "--id: abc is
// not a whole number", not "Could not convert: --id = abc"; "a command is
// required: replay, run, ...", not "A subcommand is required".
std::string Explain(const CLI::App& app, const std::string& what);

// Parses argv into app.  nullopt: go on.  Otherwise the status to end
// with: 0 after --help or --version (printed), kUsage after a usage error,
// which is written to standard error as "program: what", with a
// suggestion where one fits, and a second line naming --help.
std::optional<int> Parse(CLI::App& app, int argc, char** argv, const std::string& program);

}  // namespace command_line
