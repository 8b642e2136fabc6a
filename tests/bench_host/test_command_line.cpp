// A slip on the command line or in the site file is named, with the word
// that was meant, in one line that starts with the program's name; usage
// errors end with 2.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "CommandLine.h"
#include "site/SiteConfig.h"

namespace {

using namespace std::chrono_literals;

TEST(CommandLine, NearestIsASlipAwayOrNothing) {
    const std::vector<std::string> commands{"replay", "run", "history"};
    const std::vector<std::string> options{"--config", "--plugin", "--db", "--port", "--version", "--help"};
    const struct {
        const char* word;
        const std::vector<std::string>& known;
        const char* nearest;  // "" for none
    } cases[] = {
        {"runn", commands, "run"},         // one extra
        {"rn", commands, "run"},           // one missing
        {"histroy", commands, "history"},  // two swapped
        {"replya", commands, "replay"},
        {"--verison", options, "--version"},
        {"--confg", options, "--config"},
        {"--plugins", options, "--plugin"},
        {"--bd", options, "--db"},         // a swap is one slip
        {"status", commands, ""},          // nothing like it
        {"--xyz", options, ""},
        {"r", commands, ""},               // too short to guess from
    };
    for (const auto& c : cases) {
        const auto near = command_line::Nearest(c.word, c.known);
        EXPECT_EQ(near.value_or(""), c.nearest) << c.word;
    }
}

TEST(CommandLine, BenchHostNamesTheSlipAndExitsTwo) {
    const struct {
        std::vector<std::string> args;
        const char* first_line;
    } cases[] = {
        {{"runn"}, "bench-host: unknown command runn (did you mean run?)"},
        {{"help"}, "bench-host: unknown command help (for help: bench-host --help)"},
        {{"--verison"}, "bench-host: unknown option --verison (did you mean --version?)"},
        {{"run", "--confg", "site.json"}, "bench-host: unknown option --confg (did you mean --config?)"},
        {{"history", "--db", "h.sqlite", "--alrams"}, "bench-host: unknown option --alrams (did you mean --alarms?)"},
        {{"run", "--config", "site.json", "--db", ""}, "bench-host: --db: must not be empty"},
        {{"run", "--config", "site.json", "--port", ""}, "bench-host: --port: must not be empty"},
        {{"history", "--db", "h.sqlite", "--csv", "--http", "8080"}, "bench-host: --csv excludes --http"},
        {{"history", "--db", "h.sqlite", "--health", "--runs"}, "bench-host: --runs excludes --health"},
        // CLI11's own texts, in this project's words.
        {{}, "bench-host: a command is required: replay, run, history, report, baseline"},
        {{"history", "--db", "h.sqlite", "--cells", "40"}, "bench-host: --cells: must be from 1 to 32, not 40"},
        {{"history", "--db", "h.sqlite", "--cells", "abc"}, "bench-host: --cells: abc is not a number"},
        {{"history", "--db", "h.sqlite", "--cells", "2.5"}, "bench-host: --cells: 2.5 is not a whole number"},
        {{"run", "--config", "s.json", "--duration", "-1"},
         "bench-host: --duration: must be above 0, not -1 (leave it out to run until stopped)"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{BENCH_HOST_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = ChildProcess::Run(argv, 20s);
        EXPECT_EQ(r.status, 2) << c.first_line;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.first_line);
        EXPECT_TRUE(r.out.empty()) << r.out;
        // Every line of it names the program.
        for (std::size_t at = 0; at < r.err.size(); at = r.err.find('\n', at) + 1)
            EXPECT_EQ(r.err.compare(at, 12, "bench-host: "), 0) << r.err;
    }
}

TEST(CommandLine, SiteFileKeysAreSuggestedToo) {
    const struct {
        const char* text;
        const char* says;
    } cases[] = {
        {R"({"histroy":"h.db","ports":[]})", R"(unknown key "histroy" (did you mean "history"?))"},
        {R"({"ports":[{"path":"/dev/ttyS0","devics":[]}]})", R"(unknown key "devics" (did you mean "devices"?))"},
        {R"({"ports":[],"colour":"red"})", R"(unknown key "colour")"},
        // Below the top level too: a device's, a battery's; the word in
        // full for the key that abbreviates it; a quantity without its unit.
        {R"({"ports":[{"path":"/dev/ttyS0","devices":[{"id":1,"adress":1}]}]})",
         R"(devices[0]: unknown key "adress" (did you mean "addr"?))"},
        {R"({"ports":[{"path":"/dev/ttyS0","devices":[{"id":1,"addr":1,"batery":{}}]}]})",
         R"(unknown key "batery" (did you mean "battery"?))"},
        {R"({"ports":[{"path":"/dev/ttyS0","devices":[{"id":1,"addr":1,"battery":{"capacity":100}}]}]})",
         R"(battery: unknown key "capacity" (did you mean "capacity_ah" or "capacity_hours"?))"},
        {R"({"ports":[{"path":"/dev/ttyS0","devices":[{"id":1,"addr":1,"battery":{"float_settle":60}}]}]})",
         R"(unknown key "float_settle" (did you mean "float_settle_s"?))"},
        {R"({"ports":[{"path":"/dev/ttyS0","devices":[{"id":1,"addr":1,"alarms":{"temperature":{"hihg":40}}}]}]})",
         R"(unknown key "hihg" (did you mean "high"?))"},
        {R"({"ports":[{"path":"/dev/ttyS0","devices":[{"id":1,"addr":1,"battery":{"colour":"red"}}]}]})",
         R"(unknown key "colour")"},
    };
    for (const auto& c : cases) {
        try {
            SiteConfig::Parse(c.text, "site.json");
            ADD_FAILURE() << c.text << " accepted";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
            if (std::string(c.says).find("did you mean") == std::string::npos) {
                EXPECT_EQ(std::string(e.what()).find("did you mean"), std::string::npos) << e.what();
            }
        }
    }
}

}  // namespace
