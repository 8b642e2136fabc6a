// bench-host run and history end to end, on what the history must never
// hide: a damaged file, writes that fail, the plug-in a record came from,
// alarms a killed run left raised, runs under two time zones, a file in a
// folder that cannot be written.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ChildProcess.h"
#include "loader/FileDigest.h"
#include "history/HistorySchema.h"
#include "history/HistoryStore.h"
#include "SiteRun.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kPlugin = BENCH_HOST_PLUGIN;

const char* kDevice12 = R"({"id":12,"type":"upsbattery_29","addr":1,"config":{"appSetting":{}},)"
                        R"("alarms":{"battery_*_value":{"low":12.0,"high":14.4}}})";

// Reads the history while a run writes it, until `stored` says the store
// thread has written what the test waits for (the store thread writes a
// moment after the run says a round); false if it never does.
bool WaitForHistory(const std::string& db, const std::function<bool(HistoryStore&)>& stored) {
    const auto until = std::chrono::steady_clock::now() + 30s;  // a guard against a hang, not a measure
    while (std::chrono::steady_clock::now() < until) {
        try {
            HistoryStore store(db, HistoryStore::Access::kReadOnly);
            if (stored(store)) return true;
        } catch (const std::exception&) {
            // Not written far enough to be read yet.
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// Reads a running run's output until it has said more rounds than it had
// (of any device); false if it ends first.
bool WaitForAnotherRound(ChildProcess& host) {
    const auto said = Events(JsonLines(host.Out()), "round").size();
    const auto until = std::chrono::steady_clock::now() + 60s;  // a guard against a hang, not a measure
    while (Events(JsonLines(host.Out()), "round").size() <= said) {
        if (std::chrono::steady_clock::now() >= until || !host.ReadSome(1000ms)) return false;
    }
    return true;
}

// The command line of a child with a variable of its environment set.
std::vector<std::string> WithEnv(const std::string& var, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/usr/bin/env", var});
    return argv;
}

std::vector<std::string> CsvLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, ',');) out.push_back(f);
    return out;
}

class StoreEndToEnd : public SiteRun {};

// A history file deleted, cut short or overwritten under a running run:
// said at once (NOT STORED, with what happened), polling goes on, nothing
// more is written and the run fails; the next run moves the damaged file
// aside, names it, and begins a new one.
TEST_F(StoreEndToEnd, AHistoryLostUnderARunIsSaidAndTheNextRunMovesItAside) {
    StartSim({});
    const std::string site = Site(kDevice12, 0.1);
    struct Case {
        const char* what;
        std::function<void(const std::string&)> harm;
        std::vector<std::string> said;  // any one of them, after "history PATH"
        bool moved_aside;               // by the next run
    } cases[] = {
        {"deleted", [](const std::string& db) { fs::remove(db); }, {" was deleted"}, false},
        // Seen by the check, or by SQLite in the next write.
        {"cut to 8 KiB", [](const std::string& db) { fs::resize_file(db, 8192); },
         {" was cut to 8192 bytes", "database disk image is malformed"}, true},
        {"32 KiB of garbage written over its start",
         [](const std::string& db) {
             std::fstream f(db, std::ios::binary | std::ios::in | std::ios::out);
             f << std::string(32768, '\x5a');
         },
         {" was overwritten", "database disk image is malformed"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* part : {"", "-wal", "-shm"}) fs::remove(db_ + part);
        ASSERT_EQ(RunHost(site, {"--rounds", "3"}).status, 0);
        ChildProcess host({kBin, "run", "--config", site, "--json"});
        ASSERT_TRUE(host.WaitForOutput(R"("round":5,)", 20s)) << host.Out();
        c.harm(db_);
        // Polling goes on after the loss is said: a round after it.
        ASSERT_TRUE(host.WaitForOutput(R"("ev":"history_lost")", 30s)) << host.Out();
        ASSERT_TRUE(WaitForAnotherRound(host)) << host.Out();
        host.Signal(SIGTERM);
        const auto r = host.Finish(30s);
        EXPECT_EQ(r.status, 4) << r.err;
        const auto events = JsonLines(r.out);
        const auto lost = Events(events, "history_lost");
        ASSERT_EQ(lost.size(), 1u) << r.out;
        const std::string what = lost[0]["what"].asString();
        EXPECT_EQ(what.rfind("history " + db_, 0), 0u) << what;
        EXPECT_TRUE(std::any_of(c.said.begin(), c.said.end(),
                                [&](const std::string& s) { return what.find(s) != std::string::npos; }))
            << what;
        EXPECT_NE(r.err.find("NOT STORED: " + what), std::string::npos) << r.err;

        const auto next = RunHost(site, {"--rounds", "2"});
        EXPECT_EQ(next.status, 0) << next.err;
        const auto warnings = Events(JsonLines(next.out), "warning");
        if (c.moved_aside) {
            ASSERT_EQ(warnings.size(), 1u) << next.out;
            const std::string text = warnings[0]["what"].asString();
            const auto at = text.find("moved aside to ");
            ASSERT_NE(at, std::string::npos) << text;
            const std::string aside = text.substr(at + 15, text.find(',', at) - at - 15);
            EXPECT_TRUE(fs::exists(aside)) << aside;
            fs::remove(aside);
        }
        HistoryStore store(db_, HistoryStore::Access::kReadOnly);
        EXPECT_EQ(store.Reader().Runs().size(), 1u) << "a new history";
    }
}

long RowsOf(const std::string& db, uint32_t id) {
    long rows = 0;
    HistoryStore(db, HistoryStore::Access::kReadOnly).Reader().ForEachRow(id, [&](const history::Row&) { ++rows; });
    return rows;
}

// A disk whose every sync takes 300 ms, the store behind the bus by the
// time the run is stopped: SIGTERM ends polling at once, the run ends with
// its summary and its end in the history, and every round it said is
// either stored or counted as not stored.  How long the stop took is the
// bench's to measure; the guard below only keeps a hung run from hanging
// the suite (the runs before this took minutes).
TEST_F(StoreEndToEnd, ASlowDiskNeverHoldsUpAStop) {
    StartSim({});
    const std::string site = Site(kDevice12, 0.1);
    ChildProcess host(WithEnv("LD_PRELOAD=" + std::string(BENCH_HOST_SLOW_SYNC),
                              {kBin, "run", "--config", site, "--json"}));
    ASSERT_TRUE(host.WaitForOutput(R"("round":40,)", 60s)) << host.Out();
    host.Signal(SIGTERM);
    const auto r = host.Finish(30s);
    ASSERT_TRUE(r.status == 0 || r.status == 4) << r.status << r.err;
    const auto events = JsonLines(r.out);
    ASSERT_EQ(Events(events, "summary").size(), 1u) << r.out;
    const auto end = Events(events, "history");
    ASSERT_EQ(end.size(), 1u) << r.out;
    const long said = static_cast<long>(Events(events, "round").size());
    EXPECT_EQ(RowsOf(db_, 12) + end[0]["records_not_stored"].asInt64(), said);
    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    const auto runs = store.Reader().Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_FALSE(runs[0].ended_at.empty()) << "the run's end is stored";
}

// The history moved away under a running run (mv): the run says so at
// once, stops writing and copies what it committed into the file where it
// now is, so that the moved file holds every round counted as stored, and
// leaves no log at the old path for the next run's file to take.
TEST_F(StoreEndToEnd, AMovedHistoryHoldsEveryRoundCountedAsStored) {
    StartSim({});
    const std::string site = Site(kDevice12, 0.1);
    const std::string moved = dir_ + "/moved.sqlite";
    ChildProcess host({kBin, "run", "--config", site, "--json"});
    ASSERT_TRUE(host.WaitForOutput(R"("round":5,)", 20s)) << host.Out();
    fs::rename(db_, moved);
    ASSERT_TRUE(host.WaitForOutput(R"("ev":"history_lost")", 30s)) << host.Out();
    ASSERT_TRUE(WaitForAnotherRound(host)) << host.Out();
    host.Signal(SIGTERM);
    const auto r = host.Finish(30s);
    EXPECT_EQ(r.status, 4) << r.err;
    const auto events = JsonLines(r.out);
    const auto lost = Events(events, "history_lost");
    ASSERT_EQ(lost.size(), 1u) << r.out;
    EXPECT_NE(lost[0]["what"].asString().find(" was moved away from its path; what this run stored is in it"),
              std::string::npos)
        << lost[0]["what"].asString();
    const auto end = Events(events, "history");
    ASSERT_EQ(end.size(), 1u) << r.out;
    const long said = static_cast<long>(Events(events, "round").size());
    const long stored = said - end[0]["records_not_stored"].asInt64();
    EXPECT_GE(stored, 5);
    EXPECT_EQ(RowsOf(moved, 12), stored);
    for (const char* part : {"-wal", "-shm"}) EXPECT_FALSE(fs::exists(db_ + part)) << part;

    // The next run begins a history of its own at the path; the moved file
    // keeps every round, whole.
    const auto next = RunHost(site, {"--rounds", "2"});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(RowsOf(moved, 12), stored);
    EXPECT_EQ(HistorySchema::Damage(moved), "");
    EXPECT_EQ(RowsOf(db_, 12), 2);
}

// The history's file may grow only so far (a full disk, a quota): the
// rounds that cannot be stored are reported once, counted in the summary,
// and the run ends with status 4.  128 KiB holds the schema and the
// write-ahead log of a few rounds; the run goes on until a record is refused
// and one round more has been said.
TEST_F(StoreEndToEnd, WritesThatFailAreReportedOnceCountedAndFailTheRun) {
    if (!fs::exists("/usr/bin/prlimit")) GTEST_SKIP() << "prlimit (util-linux) is needed";
    StartSim({});
    ChildProcess host({"/usr/bin/prlimit", "--fsize=131072", "--", kBin, "run", "--config", Site(kDevice12), "--json"});
    ASSERT_TRUE(host.WaitForOutput(R"("kind":"record")", 60s)) << host.Out();
    ASSERT_TRUE(WaitForAnotherRound(host)) << host.Out();
    host.Signal(SIGTERM);
    const auto r = host.Finish(30s);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 4) << r.err;
    const auto events = JsonLines(r.out);
    // Once per kind: the records, and the run's counts written as it goes.
    std::set<std::string> kinds;
    for (const auto& e : Events(events, "store_failed"))
        EXPECT_TRUE(kinds.insert(e["kind"].asString()).second) << "said twice: " << e.toStyledString();
    EXPECT_EQ(kinds.count("record"), 1u) << r.out;
    const auto history = Events(events, "history");
    ASSERT_EQ(history.size(), 1u);
    const long not_stored = history[0]["records_not_stored"].asInt64();
    EXPECT_GT(not_stored, 0);
    EXPECT_NE(r.err.find(std::to_string(not_stored) + " records"), std::string::npos) << r.err;

    long stored = 0;
    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    store.Reader().ForEachRow(12, [&](const HistoryStore::Row&) { ++stored; });
    EXPECT_GT(stored, 0);
    EXPECT_EQ(stored + not_stored, static_cast<long>(Events(events, "round").size()));
}

// A small file system of its own (tmpfs), for the history to fill; needs
// root, as CI runs.  Unmounted when the test ends.
class FullDisk : public SiteRun {
protected:
    void TearDown() override {
        if (mounted_) ::umount2(disk_.c_str(), MNT_DETACH);
        SiteRun::TearDown();
    }
    // false (and the test skips) where no file system can be mounted.
    bool Mount(const std::string& size) {
        disk_ = dir_ + "/disk";
        fs::create_directories(disk_);
        mounted_ = ::mount("tmpfs", disk_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
        db_ = disk_ + "/history.sqlite";
        return mounted_;
    }
    // Takes every byte left.
    void Fill() {
        std::ofstream filler(disk_ + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
    }

    std::string disk_;
    bool mounted_ = false;
};

// The next run on a full disk starts, polls, shows every round and its
// health, says once that nothing is stored and why, counts what is not
// stored and ends with status 4; what was stored before is still read.
TEST_F(FullDisk, NeverStopsPolling) {
    if (::getuid() != 0 || !Mount("512k")) GTEST_SKIP() << "mounting a small tmpfs needs root";
    StartSim({});
    const std::string site = Site(kDevice12, 0.05);
    const auto before = RunHost(site, {"--rounds", "3"});
    ASSERT_EQ(before.status, 0);
    const long stored_before = static_cast<long>(Events(JsonLines(before.out), "round").size());
    Fill();

    const auto r = RunHost(site, {"--rounds", "5"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 4) << r.err;
    const auto events = JsonLines(r.out);
    const long rounds = static_cast<long>(Events(events, "round").size());
    EXPECT_GT(rounds, 0) << r.out;
    const auto failed = Events(events, "store_failed");
    ASSERT_GE(failed.size(), 1u) << r.out;
    EXPECT_NE(failed[0]["what"].asString().find("No space left on device"), std::string::npos) << failed[0]["what"].asString();
    const auto history = Events(events, "history");
    ASSERT_EQ(history.size(), 1u) << r.out;
    EXPECT_EQ(history[0]["records_not_stored"].asInt64(), rounds);

    const auto read = ChildProcess::Run({kBin, "history", "--db", db_, "--id", "12"}, 30s);
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_NE(read.out.find("device 12"), std::string::npos) << read.out;
    long stored = 0;
    HistoryStore(db_, HistoryStore::Access::kReadOnly).Reader().ForEachRow(12, [&](const HistoryStore::Row&) {
        ++stored;
    });
    EXPECT_EQ(stored, stored_before);
}

// A run that fills the disk as it goes: the write-ahead log stays small, so
// the rounds that fit are about what the free space holds, and the rest
// are counted.  The run goes on until a record is refused and one round
// more has been said, however many rounds that takes.
TEST_F(FullDisk, RoundsFillTheDiskAtAboutTheirOwnSize) {
    if (::getuid() != 0 || !Mount("256k")) GTEST_SKIP() << "mounting a small tmpfs needs root";
    StartSim({"--addr", "0x81", "--addr", "0x82", "--addr", "0x83", "--addr", "0x84"});
    std::string devices;
    for (int i = 1; i <= 4; ++i)
        devices += std::string(i > 1 ? "," : "") + R"({"id":)" + std::to_string(10 + i) +
                   R"(,"type":"upsbattery_29","addr":)" + std::to_string(i) + R"(,"config":{"appSetting":{}}})";
    ChildProcess host({kBin, "run", "--config", Site(devices, 0.05), "--json"});
    ASSERT_TRUE(host.WaitForOutput(R"("kind":"record")", 300s)) << host.Out();
    ASSERT_TRUE(WaitForAnotherRound(host)) << host.Out();
    host.Signal(SIGTERM);
    const auto r = host.Finish(60s);
    ASSERT_FALSE(r.timed_out);
    const auto events = JsonLines(r.out);
    const auto history = Events(events, "history");
    ASSERT_EQ(history.size(), 1u) << r.out << r.err;
    const long not_stored = history[0]["records_not_stored"].asInt64();
    long stored = 0;
    HistoryStore(db_, HistoryStore::Access::kReadOnly).Reader().ForEachRow(std::nullopt, [&](const HistoryStore::Row&) {
        ++stored;
    });
    EXPECT_EQ(stored + not_stored, static_cast<long>(Events(events, "round").size()));
    // 256 KiB (64 pages) holds the schema (some thirty tables and indexes
    // of a page or more each), the summary, the counts written every 5 s and
    // over a hundred records of 152 bytes; a log that grew by a page or more
    // a round would hold about forty.
    EXPECT_GT(not_stored, 0);
    EXPECT_GT(stored, 120) << not_stored << " not stored";
    EXPECT_EQ(r.status, 4) << r.err;
}

// A bare name is the file in the current folder; the run says which file
// it loaded and the history keeps that with every round.
TEST_F(StoreEndToEnd, APluginNamedFromItsFolderIsLoadedReportedAndKept) {
    StartSim({});
    fs::copy_file(kPlugin, dir_ + "/myplug.so");
    const std::string site = Site(kDevice12);
    const auto r = ChildProcess::Run(
        {"/bin/sh", "-c",
         "cd '" + dir_ + "' && exec '" + kBin + "' run --config '" + site + "' --plugin myplug.so --json --rounds 2"},
        60s);
    ASSERT_EQ(r.status, 0) << r.err;
    const long said = static_cast<long>(Events(JsonLines(r.out), "round").size());
    const auto started = Events(JsonLines(r.out), "started");
    ASSERT_EQ(started.size(), 1u) << r.out;
    const FileDigest digest = FileDigest::Of(kPlugin);
    EXPECT_EQ(started[0]["plugin"].asString(), fs::canonical(dir_ + "/myplug.so").string());
    EXPECT_EQ(started[0]["plugin_sha256"].asString(), digest.sha256);
    EXPECT_EQ(started[0]["plugin_size"].asUInt64(), digest.size);

    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    const auto runs = store.Reader().Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].plugin_sha256, digest.sha256);
    EXPECT_EQ(runs[0].id, started[0]["run_id"].asInt64());
    EXPECT_FALSE(runs[0].ended_at.empty());
    long rows = 0;
    store.Reader().ForEachRow(12, [&](const HistoryStore::Row& row) {
        ++rows;
        EXPECT_EQ(row.run_id, runs[0].id);
    });
    EXPECT_EQ(rows, said);
}

TEST_F(StoreEndToEnd, AnAlarmAKilledRunLeftRaisedIsClosedAtTheNextStart) {
    StartSim({"--weak-cell", "5:11.2"});
    const std::string site = Site(kDevice12);
    {
        ChildProcess host({kBin, "run", "--config", site, "--json"});
        ASSERT_TRUE(host.WaitForOutput(R"("state":"raised")", 20s)) << host.Out();
        ASSERT_TRUE(WaitForHistory(db_, [](HistoryStore& h) { return !h.Reader().Alarms(12).empty(); }));
        host.Signal(SIGKILL);
        host.Finish(10s);
    }
    sim_.reset();
    StartSim({});  // the cell recovered meanwhile
    const auto r = RunHost(site, {"--rounds", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto closed = Events(JsonLines(r.out), "alarms_closed");
    ASSERT_EQ(closed.size(), 1u) << r.out;
    EXPECT_EQ(closed[0]["count"].asInt(), 1);

    const auto h = ChildProcess::Run({kBin, "history", "--db", db_, "--alarms", "--csv"}, 30s);
    ASSERT_EQ(h.status, 0) << h.err;
    const auto lines = CsvLines(h.out);
    ASSERT_EQ(lines.size(), 3u) << h.out;  // header, raised, closed
    EXPECT_EQ(Fields(lines[1])[6], "raised");
    EXPECT_EQ(Fields(lines[2])[6], "closed");
    EXPECT_EQ(Fields(lines[2])[4], "battery_5_value");
    const auto text = ChildProcess::Run({kBin, "history", "--db", db_, "--alarms"}, 30s);
    EXPECT_NE(text.out.find("closed at restart"), std::string::npos) << text.out;
    // A device without alarms is told so plainly.
    const auto none = ChildProcess::Run({kBin, "history", "--db", db_, "--alarms", "--id", "99"}, 30s);
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.err, "bench-host: no alarms stored for that device\n");
}

// A run killed with kill -9 once its counts are written (every 5 s), then a
// short run on the same file: the report lists the killed run as killed,
// counted to its last written counts, and those lag its stored rounds by at
// most the rounds of the interval they are written at.
TEST_F(StoreEndToEnd, AKilledRunIsReportedWithCountsWithinTheirIntervalOfItsRounds) {
    StartSim({});
    const std::string site = Site(kDevice12, 0.1);
    {
        ChildProcess host({kBin, "run", "--config", site, "--json"});
        ASSERT_TRUE(WaitForHistory(db_, [](HistoryStore& h) { return !h.Reader().RunDevices(12).empty(); }));
        host.Signal(SIGKILL);
        host.Finish(10s);
    }
    ASSERT_EQ(RunHost(site, {"--rounds", "3"}).status, 0);

    const std::string html = dir_ + "/report.html", json = dir_ + "/report.json";
    const auto rep = ChildProcess::Run({kBin, "report", "--db", db_, "--out", html, "--json", json}, 60s);
    ASSERT_EQ(rep.status, 0) << rep.err;
    Json::Value report;
    {
        std::ifstream in(json);
        Json::CharReaderBuilder b;
        std::string errors;
        ASSERT_TRUE(Json::parseFromStream(b, in, &report, &errors)) << errors;
    }
    ASSERT_EQ(report["runs"].size(), 2u) << report["runs"].toStyledString();
    const Json::Value& killed = report["runs"][0];
    EXPECT_TRUE(killed["killed"].asBool());
    EXPECT_TRUE(killed["counted_to"].isString()) << killed.toStyledString();
    EXPECT_FALSE(report["runs"][1]["killed"].asBool());
    EXPECT_EQ(report["devices"][0]["watch"]["cycles"]["runs_counted"].asInt(), 2);

    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    const int64_t run_id = killed["run_id"].asInt64();
    long rows = 0;
    store.Reader().ForEachRow(12, [&](const HistoryStore::Row& row) { rows += row.run_id == run_id; });
    const auto counts = store.Reader().RunDevices(12);
    const auto c = std::find_if(counts.begin(), counts.end(),
                                [&](const history::RunDevice& x) { return x.run_id == run_id; });
    ASSERT_NE(c, counts.end());
    ASSERT_GT(rows, 0);
    // 5 s of rounds at 0.1 s at the most (a busy machine polls fewer), and
    // the one in hand when the counts were taken.
    EXPECT_LE(c->completed, rows);
    EXPECT_GE(c->completed, rows - 51) << rows << " rounds stored";

    // history --runs says how far the killed run's counts go.
    const auto h = ChildProcess::Run({kBin, "history", "--db", db_, "--runs"}, 30s);
    ASSERT_EQ(h.status, 0) << h.err;
    EXPECT_NE(h.out.find("(killed: no end recorded, and a later run started)  counted to "), std::string::npos)
        << h.out;
}

TEST_F(StoreEndToEnd, AnAlarmOnAValueTheDeviceDoesNotAnswerStopsTheSetup) {
    const auto r = RunHost(Site(R"({"id":12,"addr":1,"alarms":{"tempreature":{"high":40}}})"), {"--rounds", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(R"(alarms.tempreature: "tempreature" is not a value device 12 answers)"), std::string::npos)
        << r.err;
}

// A bench moved from UTC+8 to UTC-5 between two runs: the second run's
// wall-clock times read earlier, its rounds still come after the first's.
TEST_F(StoreEndToEnd, RunsUnderTwoTimeZonesOrderByTrueTime) {
    StartSim({});
    const std::string site = Site(kDevice12);
    std::vector<std::string> want_runs, want_offsets;
    for (const auto& [tz, run, offset] : {std::tuple<const char*, const char*, const char*>{"TZ=AAA-8", "1", "+08:00"},
                                          {"TZ=BBB5", "2", "-05:00"}}) {
        const auto r = ChildProcess::Run(WithEnv(tz, {kBin, "run", "--config", site, "--json", "--rounds", "2"}), 60s);
        ASSERT_EQ(r.status, 0) << r.err;
        for (std::size_t i = 0; i < Events(JsonLines(r.out), "round").size(); ++i) {
            want_runs.push_back(run);
            want_offsets.push_back(offset);
        }
    }
    const auto h = ChildProcess::Run(WithEnv("TZ=UTC0", {kBin, "history", "--db", db_, "--csv"}), 30s);
    ASSERT_EQ(h.status, 0) << h.err;
    const auto lines = CsvLines(h.out);
    ASSERT_EQ(lines.size(), 1 + want_runs.size()) << h.out;
    std::vector<std::string> runs, offsets;
    long long previous_ms = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto f = Fields(lines[i]);  // device_id,run_id,saved_at,saved_ms,record_time,...
        runs.push_back(f[1]);
        offsets.push_back(f[2].substr(23));
        EXPECT_EQ(f[4].substr(23), f[2].substr(23)) << "one time format: " << lines[i];
        EXPECT_GE(std::stoll(f[3]), previous_ms);
        previous_ms = std::stoll(f[3]);
    }
    EXPECT_EQ(runs, want_runs);
    EXPECT_EQ(offsets, want_offsets);
    EXPECT_GT(Fields(lines[1])[2], Fields(lines.back())[2]);  // the text alone would order them wrongly
}

// A history handed over in a folder the reader cannot write to (a share,
// a read-only medium): read as it stands, nothing made beside it; the log of
// a killed run is read with its index, and said to be unread without it.
TEST_F(StoreEndToEnd, HistoryReadsAFileInAFolderItCannotWrite) {
    StartSim({});
    const std::string site = Site(kDevice12);
    ASSERT_EQ(RunHost(site, {"--rounds", "2"}).status, 0);
    const std::string clean = dir_ + "/clean.sqlite";
    fs::copy_file(db_, clean);
    std::size_t clean_rows = 0;
    HistoryStore(clean, HistoryStore::Access::kReadOnly).Reader().ForEachRow(std::nullopt, [&](const HistoryStore::Row&) {
        ++clean_rows;
    });
    {
        ChildProcess host({kBin, "run", "--config", site, "--json"});
        ASSERT_TRUE(WaitForHistory(db_, [&](HistoryStore& h) {
            std::size_t rows = 0;
            h.Reader().ForEachRow(std::nullopt, [&](const HistoryStore::Row&) { ++rows; });
            return rows >= clean_rows + 2;  // two of this one's
        }));
        host.Signal(SIGKILL);
        host.Finish(10s);
    }
    ASSERT_TRUE(fs::exists(db_ + "-wal"));
    std::size_t all = 0;  // the killed run's rounds are in its log
    HistoryStore(db_, HistoryStore::Access::kReadOnly).Reader().ForEachRow(std::nullopt, [&](const HistoryStore::Row&) {
        ++all;
    });
    ASSERT_GE(all, clean_rows + 2);
    // A first run killed early: its tables too are only in its log.
    const std::string first = dir_ + "/first.sqlite";
    {
        const std::string kept = db_;
        db_ = first;
        const std::string first_site = Site(kDevice12);
        db_ = kept;
        ChildProcess host({kBin, "run", "--config", first_site, "--json"});
        ASSERT_TRUE(host.WaitForOutput(R"("round":2,)", 20s)) << host.Out();
        host.Signal(SIGKILL);
        host.Finish(10s);
    }
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // from, to (in the folder)
        std::size_t rows;
        const char* said;
    } cases[] = {
        {"a file a run closed", {{clean, "h.sqlite"}}, clean_rows, ""},
        {"a killed run's file, log and index",
         {{db_, "h.sqlite"}, {db_ + "-wal", "h.sqlite-wal"}, {db_ + "-shm", "h.sqlite-shm"}},
         all,
         ""},
        {"a killed run's file and log without its index",
         {{db_, "h.sqlite"}, {db_ + "-wal", "h.sqlite-wal"}},
         std::string::npos,
         "h.sqlite-wal (the last writes of a run that did not end) cannot be read"},
        {"a killed first run's file and log without its index",
         {{first, "h.sqlite"}, {first + "-wal", "h.sqlite-wal"}},
         0,
         "h.sqlite-wal (the last writes of a run that did not end) cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string ro = dir_ + "/handed_over";
        fs::remove_all(ro);
        fs::create_directories(ro);
        for (const auto& [from, to] : c.files) {
            fs::copy_file(from, ro + "/" + to);
            ::chmod((ro + "/" + to).c_str(), 0444);
        }
        ::chmod(ro.c_str(), 0555);
        std::vector<std::string> argv{kBin, "history", "--db", ro + "/h.sqlite", "--csv"};
        // Root writes anywhere; the reader is then an ordinary user.
        if (::geteuid() == 0)
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        const auto r = ChildProcess::Run(argv, 30s);
        const auto made = fs::directory_iterator(ro);
        const std::size_t files = static_cast<std::size_t>(std::distance(made, fs::directory_iterator()));
        ::chmod(ro.c_str(), 0755);
        EXPECT_EQ(r.status, 0) << r.err;
        if (c.rows != std::string::npos) {
            EXPECT_EQ(CsvLines(r.out).size(), 1 + c.rows) << r.out;
        }
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        if (!*c.said) {
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(files, c.files.size()) << "nothing made beside the file";
    }
}

}  // namespace

namespace {

class ClosedOutput : public SiteRun {};

// `run --json | head -3`: the reader goes after three lines, the run polls
// and stores to its end, says once on standard error that its output is
// lost, and notes it in the history.
TEST_F(ClosedOutput, TheRunPollsAndStoresToItsEnd) {
    StartSim({});
    const std::string site = Site(kDevice12, 0.2);
    const auto r = ChildProcess::Run(
        {"/bin/sh", "-c", "'" + kBin + "' run --config '" + site + "' --json --duration 6 | head -3"}, 60s);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
    const std::string lost = "standard output lost";
    ASSERT_NE(r.err.find(lost), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(lost), r.err.rfind(lost)) << "said once: " << r.err;

    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    std::vector<int64_t> saved;
    store.Reader().ForEachRow(12, [&](const history::Row& row) { saved.push_back(row.saved_ms); });
    ASSERT_FALSE(saved.empty());
    const auto runs = store.Reader().Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_FALSE(runs[0].ended_at.empty()) << "the run ended as usual";
    const auto notes = store.Reader().Notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].kind, "output lost");
    EXPECT_EQ(notes[0].run_id, runs[0].id);
    EXPECT_GT(saved.back(), notes[0].at_ms) << saved.size() << " rounds: stored after the output was lost too";
}

}  // namespace
