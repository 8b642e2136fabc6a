// bench-host report over a real run, end to end once: monitor-sim on a
// pseudo-terminal, bench-host run storing its rounds, bench-host report
// writing its page, its JSON and the verdict line.  Only outcomes are held
// here, never how many rounds a machine let through in a time: the report's
// and the verdict's figures are held against monitor-sim's modelled string
// on simulated time in test_modelled_string.cpp.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "basics/Utf8.h"
#include "SiteRun.h"

namespace {

using namespace std::chrono_literals;

Json::Value ReadJson(const std::string& path) {
    std::ifstream in(path);
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errors)) << errors;
    return v;
}

class ReportRun : public SiteRun {};

TEST_F(ReportRun, ARunsHistoryGivesAReportWithItsVerdictAndAFinding) {
    // Cell 5 reads 12.0 V throughout: any round stored flags it at rest.
    StartSim({"--seed", "11", "--weak-cell", "4:12.0"});
    const std::string site = Site(R"({"id":12,"type":"upsbattery_29","addr":1,"config":{"appSetting":{}}})");
    // The operator's note as a shell may hand it over: a line end, a byte
    // that is not UTF-8, an escape sequence.
    const std::string note = "discharge 1\nverdict: device 12: good\xff\x1b[2J";
    const auto run = RunHost(site, {"--rounds", "3", "--test", note}, 90s);
    ASSERT_EQ(run.status, 0) << run.err;

    const std::string html = dir_ + "/report.html", json = dir_ + "/report.json";
    const auto rep = ChildProcess::Run({kBin, "report", "--db", db_, "--out", html, "--json", json}, 60s);
    ASSERT_EQ(rep.status, 0) << rep.err;
    EXPECT_NE(rep.out.find("report: " + html), std::string::npos) << rep.out;
    EXPECT_GT(std::filesystem::file_size(html), 0u);
    const Json::Value r = ReadJson(json);
    ASSERT_EQ(r["devices"].size(), 1u);
    const Json::Value& v = r["devices"][0]["verdict"];
    // The report says the verdict on its last line, as the demo shows it,
    // with a finding behind it.
    EXPECT_NE(rep.out.find("verdict: device 12: " + v["state"].asString()), std::string::npos) << rep.out;
    EXPECT_FALSE(v["findings"].empty()) << v.toStyledString();
    // The run that stored the rounds, with its plug-in identified, and its
    // cycles as the run itself counted them, whatever the machine let it do.
    ASSERT_EQ(r["runs"].size(), 1u);
    EXPECT_EQ(r["runs"][0]["plugin_sha256"].asString().size(), 64u);
    // The note kept whole in valid UTF-8, its stray byte as U+FFFD; said on
    // no line of its own, in the report's lines or the run's.
    std::ifstream in(json, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(utf8::Valid(bytes) == bytes) << "report.json is not valid UTF-8";
    EXPECT_EQ(r["runs"][0]["test_note"].asString(), "discharge 1\nverdict: device 12: good\xEF\xBF\xBD\x1b[2J");
    for (const std::string& said : {rep.out, run.out, run.err}) {
        EXPECT_EQ(said.find("\nverdict: device 12: good"), std::string::npos) << said;
        EXPECT_EQ(said.find('\x1b'), std::string::npos) << said;
        EXPECT_TRUE(utf8::Valid(said) == said) << said;
    }
    const auto summaries = Events(JsonLines(run.out), "summary");
    ASSERT_EQ(summaries.size(), 1u) << run.out;
    const Json::Value& watch = r["devices"][0]["watch"];
    EXPECT_EQ(watch["cycles"]["completed"].asInt64(), summaries[0]["completed"].asInt64());
    EXPECT_EQ(watch["late_polls"].asInt(), summaries[0]["late_polls"].asInt());
}

TEST_F(ReportRun, CommandLineAndFilesThatCannotBeUsed) {
    const std::string out = dir_ + "/r.html";
    struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{"report", "--db", dir_ + "/none.sqlite", "--out", out}, 1, "cannot open history"},
        {{"report", "--db", db_, "--out", out, "--from", "yesterday"}, 2, "not an ISO 8601 time"},
        {{"report", "--db", db_, "--out", out, "--from", "2026-12-08T10:00", "--to", "2026-12-08"}, 2, "after --to"},
        {{"report", "--db", db_}, 2, "--out"},
        {{"report", "--db", db_, "--out", out, "--flag-rest-mv", "0"}, 2, "above 0"},
        {{"report", "--db", db_, "--out", dir_ + "/no/such/dir/r.html"}, 1, "cannot write"},
    };
    // A history with one round, so that only the case's own fault fails it.
    StartSim({"--seed", "1"});
    ASSERT_EQ(RunHost(Site(R"({"id":3,"type":"upsbattery_29","addr":1,"config":{"appSetting":{}}})"), {"--rounds", "1"})
                  .status,
              0);
    for (const auto& c : cases) {
        std::vector<std::string> argv{kBin};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = ChildProcess::Run(argv, 30s);
        EXPECT_EQ(r.status, c.status) << c.says << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    // A device that stored nothing gets a report that says so.
    const auto r = ChildProcess::Run({kBin, "report", "--db", db_, "--out", out, "--id", "99", "--json", out + ".json"}, 30s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("nothing stored"), std::string::npos) << r.err;
    EXPECT_EQ(ReadJson(out + ".json")["devices"][0]["watch"]["rounds"].asInt(), 0);
}

}  // namespace
