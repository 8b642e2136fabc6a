// bench-host run whole on a fake clock (FakeSiteRun): the bus loop, the
// store thread and the watch on the wall clock, with time moved by the test
// alone.  What the end-to-end runs on a pseudo-terminal can only show on a
// quiet machine is shown here exactly: a disk held up charges no failure to
// any bus, a step of the wall clock is told once and held by no duration,
// a faulty line's rounds and alarms are stored and a restart restores them,
// a silence is told once with the cycles it lost.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <csignal>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FakeSiteRun.h"
#include "run/StopBudget.h"
#include "history/HistoryStore.h"
#include "protocol/MonitorProtocol.h"
#include "record/BatteryRecord.h"
#include "report/StringReport.h"

namespace {

using namespace std::chrono_literals;
using Piece = MonitorLine::Piece;
using Request = MonitorLine::Request;
using Readings = MonitorLine::Readings;

const std::string kCellAlarms = R"(,"alarms":{"battery_*_value":{"low":12.0,"high":14.4}})";

RunOptions Rounds(long n) {
    RunOptions o;
    o.rounds = n;
    return o;
}

RunOptions Lasting(double seconds) {
    RunOptions o;
    o.duration = seconds;
    return o;
}

long StoredRows(const std::string& db, uint32_t id) {
    long rows = 0;
    HistoryStore(db, HistoryStore::Access::kReadOnly).Reader().ForEachRow(id, [&](const history::Row&) { ++rows; });
    return rows;
}

long RoundsSaid(const std::vector<Json::Value>& rounds, int id) {
    long n = 0;
    for (const auto& r : rounds) n += r["id"].asInt() == id;
    return n;
}

// The stop's arithmetic on a clock held still: the queue is written until
// the budget less what the last write and the run's own end need, and
// never a drain that ends before polling did.
TEST(StopBudget, WritesBeginOnlyBeforeTheDrainEnds) {
    using Clock = StopBudget::Clock;
    const Clock::time_point ended{std::chrono::hours(1)};
    struct Case {
        const char* what;
        Clock::duration total, reserve;
        Clock::duration now_after;
        bool another;
        Clock::duration drain, end;  // after polling ended
        int requests = 1;            // stops asked for: the end of polling, and each signal after it
    } cases[] = {
        {"at once", StopBudget::kTotal, StopBudget::kEndReserve, 0ms, true, 3s, 5s},
        {"just before the drain ends", StopBudget::kTotal, StopBudget::kEndReserve, 2999ms, true, 3s, 5s},
        {"as the drain ends", StopBudget::kTotal, StopBudget::kEndReserve, 3s, false, 3s, 5s},
        {"in the reserve", StopBudget::kTotal, StopBudget::kEndReserve, 4s, false, 3s, 5s},
        {"past the whole budget", StopBudget::kTotal, StopBudget::kEndReserve, 1h, false, 3s, 5s},
        {"a clock read before polling ended", StopBudget::kTotal, StopBudget::kEndReserve, -1s, true, 3s, 5s},
        {"a reserve larger than the budget: no drain", 1s, 2s, 0ms, false, 0s, 1s},
        {"no budget at all", 0s, 0s, 0ms, false, 0s, 0s},
        {"a budget below nothing", -1s, 0s, 0ms, false, 0s, 0s},
        // A second stop ends the drain whatever is left of it; the run's
        // own rows keep their time.
        {"stopped again at once", StopBudget::kTotal, StopBudget::kEndReserve, 0ms, false, 3s, 5s, 2},
        {"stopped a third time", StopBudget::kTotal, StopBudget::kEndReserve, 0ms, false, 3s, 5s, 3},
        {"stopped again before polling ended", StopBudget::kTotal, StopBudget::kEndReserve, -1s, false, 3s, 5s, 2},
        {"no stop counted: the budget alone", StopBudget::kTotal, StopBudget::kEndReserve, 0ms, true, 3s, 5s, 0},
    };
    for (const auto& c : cases) {
        const StopBudget budget(ended, c.total, c.reserve);
        EXPECT_EQ(budget.Another(ended + c.now_after, c.requests), c.another) << c.what;
        EXPECT_EQ(budget.DrainUntil() - ended, c.drain) << c.what;
        EXPECT_EQ(budget.EndBy() - ended, c.end) << c.what;
        EXPECT_EQ(budget.PollingEnded(), ended) << c.what;
    }
    // Stated in run --help and the README as a few seconds.
    EXPECT_LE(StopBudget::kTotal, 10s);
    EXPECT_LT(StopBudget::kEndReserve, StopBudget::kTotal);
}

class RunOnFakeClock : public FakeSiteRun {};

// Two buses, the disk held up from device 11's first record until the end
// of the run: the bus loop hands every write to the store thread and waits
// for none, so neither bus is charged a failure, the other device's rounds
// all come in their time meanwhile, and once the disk goes on every record
// is stored.
TEST_F(RunOnFakeClock, ASlowDiskChargesNoFailureToAnotherBus) {
    std::mutex mu;
    std::condition_variable cv;
    bool released = false;
    bool loop_stuck = false;
    long held_at_release = -1;
    before_write_ = [&](const StoreQueue::Item& item) {
        if (item.Kind() != history::StoreKind::kRecord || item.DeviceId() != 11) return;
        std::unique_lock<std::mutex> lock(mu);
        // Released by the run's own clock; a loop that waits for the disk
        // never gets there, and is let go after a minute to fail, not hang.
        if (!cv.wait_for(lock, 60s, [&] { return released; })) loop_stuck = released = true;
    };
    const std::string a = Port("a", [](MonitorLine& l) { l.SetMonitor(0x81, MonitorLine::Prompt()); });
    const std::string b = Port("b", [](MonitorLine& l) { l.SetMonitor(0x81, MonitorLine::Prompt()); });
    const std::string site = Site(PortJson(a, {11}) + "," + PortJson(b, {12}), 0.2);
    // The disk goes on just before the run ends, on the run's own clock.
    const std::string db = db_;
    Clock().At(9900ms, [&] {
        held_at_release = StoredRows(db, 11);
        std::lock_guard<std::mutex> lock(mu);
        released = true;
        cv.notify_all();
    });
    const auto r = Run(site, Lasting(10));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(loop_stuck) << "the bus loop waited for the disk";
    EXPECT_EQ(held_at_release, 0) << "the disk was not held";

    const auto rounds = r.Of("round");
    for (const int id : {11, 12}) {
        SCOPED_TRACE(id);
        const auto s = r.One("summary", id);
        // A tick of 0.2 s for 10 s: every tick polled, every cycle a round.
        EXPECT_EQ(s["cycles"].asInt(), 50) << s.toStyledString();
        EXPECT_EQ(s["completed"].asInt(), 50) << s.toStyledString();
        EXPECT_EQ(s["late_polls"].asInt(), 0) << s.toStyledString();
        for (const auto& reason : s["failures"].getMemberNames())
            EXPECT_EQ(s["failures"][reason].asInt(), 0) << reason;
        EXPECT_EQ(StoredRows(db_, static_cast<uint32_t>(id)), RoundsSaid(rounds, id));
    }
    EXPECT_TRUE(r.Of("store_failed").empty()) << r.out;
}

// SIGTERM with the disk held since the first record, then SIGTERM again
// while the run waits for it: the held write ends, everything still queued
// is counted as not stored, by kind, at once (no budget is waited out: the
// run's clock stands still meanwhile), and the summary and the run's end
// are written all the same.
TEST_F(RunOnFakeClock, ASecondStopCountsWhatWaitsAndStillEndsTheRun) {
    std::mutex mu;
    std::condition_variable cv;
    bool held = false, released = false, never_released = false;
    before_write_ = [&](const StoreQueue::Item& item) {
        if (item.Kind() != history::StoreKind::kRecord) return;
        std::unique_lock<std::mutex> lock(mu);
        held = true;
        cv.notify_all();
        if (!cv.wait_for(lock, 60s, [&] { return released; })) never_released = released = true;
    };
    std::thread second;
    Clock().At(2000ms, [&] {
        {
            // The run's time stands while the store thread catches up to
            // the first record.
            std::unique_lock<std::mutex> lock(mu);
            EXPECT_TRUE(cv.wait_for(lock, 60s, [&] { return held; }));
        }
        ::raise(SIGTERM);
        // The second stop comes from elsewhere, while the run stops: the
        // disk is let go only once it is counted.
        second = std::thread([&] {
            ::raise(SIGTERM);
            std::lock_guard<std::mutex> lock(mu);
            released = true;
            cv.notify_all();
        });
    });
    const std::string port = Port("a", [](MonitorLine& l) { l.SetMonitor(0x81, MonitorLine::Prompt()); });
    const auto r = Run(Site(PortJson(port, {12}), 0.2), RunOptions{});
    second.join();
    EXPECT_FALSE(never_released);
    EXPECT_EQ(r.status, 4) << r.err;
    const long said = static_cast<long>(r.Of("round").size());
    EXPECT_GE(said, 10) << r.out;
    const auto history = r.One("history");
    EXPECT_EQ(history["records_not_stored"].asInt64(), said - 1) << "only the held record was written";
    EXPECT_EQ(StoredRows(db_, 12), 1);
    bool told = false;
    for (const auto& f : r.Of("store_failed"))
        told |= f["kind"].asString() == "record" && f["what"].asString().find("stopped again") != std::string::npos;
    EXPECT_TRUE(told) << r.out;
    EXPECT_EQ(r.One("summary", 12)["cycles"].asInt(), said) << r.out;

    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    const auto runs = store.Reader().Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_FALSE(runs[0].ended_at.empty()) << "the run's end is stored";
    EXPECT_EQ(runs[0].lasted_ms, std::optional<int64_t>(2000));
}

// The rows a run begins with (its row, what its device is judged by, the
// alarm an earlier run left raised closed) are the store thread's first
// writes: the disk held from the first of them until 2 s into the run,
// polling begins at once all the same, and once the disk goes on they are
// written before the rounds and the alarm offered meanwhile, in that order.
TEST_F(RunOnFakeClock, TheRunsOwnRowsHoldUpNoPoll) {
    const std::string port = Port("a", [](MonitorLine& l) {
        l.SetMonitor(0x81, [](const Request& r) {
            Readings weak;
            weak.weak_cell = 5;  // low throughout: the alarm stands at each run's end
            return std::vector<Piece>{Piece{MonitorLine::kTurnaround, MonitorLine::Reply(r, weak)}};
        });
    });
    const std::string site = Site(PortJson(port, {12}, kCellAlarms), 0.2);
    ASSERT_EQ(Run(site, Rounds(2)).status, 0);

    std::mutex mu;
    std::condition_variable cv;
    bool released = false, loop_stuck = false;
    std::vector<std::size_t> first_writes;  // the variants of the first three writes
    before_write_ = [&](const StoreQueue::Item& item) {
        std::unique_lock<std::mutex> lock(mu);
        if (first_writes.size() < 3) first_writes.push_back(item.write.index());
        if (!cv.wait_for(lock, 60s, [&] { return released; })) loop_stuck = released = true;
    };
    long stored_at_release = -1;
    const std::string db = db_;
    Clock().At(2000ms, [&] {
        stored_at_release = StoredRows(db, 12);
        std::lock_guard<std::mutex> lock(mu);
        released = true;
        cv.notify_all();
    });
    const auto r = Run(site, Lasting(4));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(loop_stuck) << "the first poll waited for the disk";
    EXPECT_EQ(stored_at_release, 2) << "only the first run's rounds while the disk was held";
    const auto s = r.One("summary", 12);
    EXPECT_EQ(s["cycles"].asInt(), 20) << s.toStyledString();
    EXPECT_EQ(s["completed"].asInt(), 20) << s.toStyledString();
    EXPECT_EQ(s["late_polls"].asInt(), 0) << s.toStyledString();
    EXPECT_EQ(r.One("alarms_closed")["count"].asInt(), 1) << r.out;
    const std::vector<std::size_t> kFirst = {
        StoreQueue::Item{StoreQueue::RunStart{}}.write.index(),
        StoreQueue::Item{history::RunSettings{}}.write.index(),
        StoreQueue::Item{StoreQueue::CloseAlarms{}}.write.index(),
    };
    EXPECT_EQ(first_writes, kFirst);

    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    const auto runs = store.Reader().Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].id, r.One("started")["run_id"].asInt64()) << "the id said at the start is the row's";
    EXPECT_FALSE(runs[1].ended_at.empty());
    const auto settings = store.Reader().RunSettings(12);
    ASSERT_EQ(settings.size(), 2u);
    EXPECT_EQ(settings[1].run_id, runs[1].id);
    long rows = 0;
    store.Reader().ForEachRow(12, [&](const history::Row& row) { rows += row.run_id == runs[1].id; });
    EXPECT_EQ(rows, 20);
    std::vector<std::pair<std::string, int64_t>> alarms;
    for (const auto& a : store.Reader().Alarms(12)) alarms.emplace_back(a.state, a.run_id.value_or(0));
    const decltype(alarms) kAlarms = {
        {"raised", runs[0].id}, {"closed", runs[1].id}, {"raised", runs[1].id}};
    EXPECT_EQ(alarms, kAlarms);
}

// The wall clock stepped under a run, by NTP, by hand, or at boot on a
// controller without a real-time clock: each step beyond a second is told
// once, with its size, as it comes, and kept in the history as a note;
// two steps before the loop looks are one; slewing and a step within the
// bound are no step.  Whatever the steps, the run's and the alarm's
// durations are the monotonic clock's, and every round is stored.
TEST_F(RunOnFakeClock, AWallClockStepIsToldOnceAndHeldByNoDuration) {
    struct Step {
        std::chrono::milliseconds at, by;
    };
    const struct Case {
        const char* what;
        std::vector<Step> steps;
        int slew_ppm;
        std::vector<int64_t> told_ms;
    } cases[] = {
        {"back an hour", {{3000ms, -3600000ms}}, 0, {-3600000}},
        {"back 80 s, then forward again", {{3000ms, -80000ms}, {5000ms, 80000ms}}, 0, {-80000, 80000}},
        {"forward a day", {{4000ms, 86400000ms}}, 0, {86400000}},
        {"forward 1.5 s", {{4000ms, 1500ms}}, 0, {1500}},
        {"half a second: within the bound", {{4000ms, 500ms}}, 0, {}},
        {"two steps before the loop looks", {{3000ms, -3600000ms}, {3000ms, 10000ms}}, 0, {-3590000}},
        {"NTP slewing as fast as it may", {}, 500, {}},
        {"slewing and a step", {{5000ms, -2000ms}}, -500, {-2000}},
    };
    // Cell 6 low for the first eight rounds: an alarm raised before the
    // steps and cleared after them.
    const std::string port = Port("a", [](MonitorLine& l) {
        l.SetMonitor(0x81, [](const Request& r) {
            Readings weak;
            if (r.cells < 8) weak.weak_cell = 5;
            return std::vector<Piece>{Piece{MonitorLine::kTurnaround, MonitorLine::Reply(r, weak)}};
        });
    });
    const std::string site = Site(PortJson(port, {12}, kCellAlarms), 0.5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(db_);
        for (const auto& s : c.steps) Clock().StepWallAt(s.at, s.by);
        Clock().SlewWall(c.slew_ppm);
        const auto r = Run(site, Lasting(8));
        ASSERT_EQ(r.status, 0) << r.err;

        std::vector<int64_t> told;
        for (const auto& e : r.Of("clock_step")) told.push_back(std::llround(e["step_s"].asDouble() * 1000));
        EXPECT_EQ(told, c.told_ms) << r.out;
        const auto history = r.One("history");
        EXPECT_EQ(history["clock_steps"].size(), c.told_ms.size()) << history.toStyledString();

        HistoryStore store(db_, HistoryStore::Access::kReadOnly);
        std::vector<int64_t> noted;
        for (const auto& n : store.Reader().Notes())
            if (n.kind == "clock step") noted.push_back(n.step_ms.value_or(0));
        EXPECT_EQ(noted, c.told_ms);
        const auto runs = store.Reader().Runs();
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].lasted_ms, std::optional<int64_t>(8000)) << "the run's length on the monotonic clock";
        // Raised with the first round, cleared with the ninth: eight ticks.
        const auto alarms = store.Reader().Alarms(12);
        ASSERT_EQ(alarms.size(), 2u);
        EXPECT_EQ(alarms[1].state, "cleared");
        EXPECT_EQ(alarms[1].lasted_ms, std::optional<int64_t>(4000));
        EXPECT_EQ(StoredRows(db_, 12), static_cast<long>(r.Of("round").size()));
    }
}

// The report reads what the run stored.  The wall clock set back an hour
// and then forward a day under a run: no gap in the report is longer than
// the longest real gap between rounds (a tick), and what stood through the
// run to its end (an alarm, a silent device) lasted no longer than the run.  The site file edited,
// then moved away: the report judges by the battery data and limits the
// run stored, and says so; given on purpose (--site), the file is used and
// named.  A device that never answered is in the report, named with its
// health and reason, its verdict "no data: never answered".
TEST_F(RunOnFakeClock, TheReportReadsWhatTheRunStoredWhateverTheClockAndTheSiteFile) {
    const std::string a = Port("a", [](MonitorLine& l) { l.SetMonitor(0x81, MonitorLine::Prompt()); });
    const std::string b = Port("b", [](MonitorLine&) {});
    const std::string keys =
        R"(,"battery":{"capacity_ah":150,"float_v":13.62},"alarms":{"group_voltage":{"low":300},"temperature":{"high":20}})";
    const std::string site = Site(PortJson(a, {12}, keys) + "," + PortJson(b, {13}), 0.5);
    Clock().StepWallAt(3000ms, -3600000ms);
    Clock().StepWallAt(6000ms, 86400000ms);
    const auto r = Run(site, Lasting(10));
    ASSERT_EQ(r.status, 3) << "device 13 never completed a cycle: " << r.err;

    const auto report = [&](const StringReport::Options& o = {}) {
        HistoryStore store(db_, HistoryStore::Access::kReadOnly);
        return StringReport::Build(store.Reader(), db_, o);
    };
    const StringReport before = report();
    ASSERT_EQ(before.devices.size(), 2u);
    const auto& w = before.devices[0].watch;
    EXPECT_EQ(before.devices[0].id, 12u);
    EXPECT_GT(w.rounds, 15);
    EXPECT_LE(w.longest_gap_s, 0.5) << "a step of the wall clock taken for a gap";
    EXPECT_TRUE(w.troubles.empty());
    // Raised with the first round, still raised at the end: as long as the
    // run's rounds went on, on its monotonic clock.
    ASSERT_EQ(before.devices[0].alarms.size(), 1u);
    EXPECT_EQ(before.devices[0].alarms[0].ended_by, report::AlarmEnd::still_raised);
    EXPECT_GT(before.devices[0].alarms[0].duration_s, 9.0);
    EXPECT_LE(before.devices[0].alarms[0].duration_s, 10.0);
    ASSERT_EQ(before.devices[1].watch.troubles.size(), 1u);
    EXPECT_GT(before.devices[1].watch.troubles[0].duration_s, 9.0);
    EXPECT_LE(before.devices[1].watch.troubles[0].duration_s, 10.0);
    EXPECT_TRUE(before.devices[0].discharges.empty());
    EXPECT_EQ(before.clock_steps.size(), 2u);
    const Json::Value judged = before.ToJson()["devices"][0]["verdict"];
    EXPECT_EQ(judged["battery_from"]["source"].asString(), "stored") << judged.toStyledString();
    EXPECT_EQ(judged["battery"]["capacity_ah"].asDouble(), 150.0);
    EXPECT_EQ(judged["battery"]["float_v"].asDouble(), 13.62);

    // Device 13: named, never answered, with its health and reason.
    EXPECT_EQ(before.devices[1].id, 13u);
    EXPECT_EQ(before.verdicts[1].verdict.state, "no data: never answered");
    ASSERT_EQ(before.verdicts[1].verdict.findings.size(), 1u);
    EXPECT_NE(before.verdicts[1].verdict.findings[0].text.find("not answering since"), std::string::npos)
        << before.verdicts[1].verdict.findings[0].text;
    EXPECT_NE(before.verdicts[1].verdict.findings[0].text.find("(timeout)"), std::string::npos);
    EXPECT_GT(before.start_ms, 0) << "a period of 1970";

    // The site file edited, then moved away: the same verdict, the same data.
    std::ofstream(site) << R"({"ports":[{"path":"/x","devices":[{"id":12,"addr":1,"battery":{"capacity_ah":7},)"
                           R"("alarms":{"group_voltage":{"low":1}}}]}]})";
    const StringReport edited = report();
    std::filesystem::rename(site, site + ".moved");
    const StringReport moved = report();
    for (const StringReport* after : {&edited, &moved}) {
        ASSERT_EQ(after->devices.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(after->ToJson()["devices"][static_cast<int>(i)]["verdict"], before.ToJson()["devices"][static_cast<int>(i)]["verdict"]);
            EXPECT_EQ(after->ToJson()["devices"][static_cast<int>(i)]["limits"], before.ToJson()["devices"][static_cast<int>(i)]["limits"]);
        }
    }
    // Given on purpose, a site file is used for the devices it names, and named.
    StringReport::Options given;
    given.site = SiteConfig::Parse(R"({"ports":[{"path":"/x","devices":[{"id":12,"addr":1,"battery":{"capacity_ah":7}}]}]})",
                                   "given.json");
    given.site_path = "/given.json";
    const StringReport on_purpose = report(given);
    EXPECT_EQ(on_purpose.verdicts[0].battery_from.settings.battery.capacity_ah, 7.0);
    EXPECT_EQ(on_purpose.verdicts[0].battery_from.Text(), "site file /given.json, given with --site");
    EXPECT_EQ(on_purpose.verdicts[1].battery_from.from, report::SettingsChoice::From::kStored);
}

// What a faulty monitor does to one request, by its number: the same
// faults as monitor-sim's, drawn by the request's number instead of by
// chance, so that every run of the case is the same.
std::vector<Piece> Faulty(const Request& r) {
    Readings readings;
    if (r.cells < 8) readings.weak_cell = 5;  // cell 6 low, then recovered
    MonitorLine::Bytes reply = MonitorLine::Reply(r, readings);
    const int len = static_cast<int>(reply.size());
    const auto at = MonitorLine::kTurnaround;
    if (r.n % 13 == 5) return {};                                           // dropped
    if (r.n % 17 == 7) reply[2] ^= 0x40;                                    // corrupted: the checksum fails
    if (r.n % 19 == 3) monitor::SetReplyAddress(reply.data(), len, 0x85);  // answered as another monitor
    if (r.n % 23 == 11) return {Piece{150ms, reply}};                      // held back past the timeout
    if (r.n % 7 == 1) {                                                     // in two pieces with a pause
        const auto half = reply.begin() + len / 2;
        return {Piece{at, MonitorLine::Bytes(reply.begin(), half)}, Piece{at + 5ms, MonitorLine::Bytes(half, reply.end())}};
    }
    if (r.n % 11 == 2) reply.insert(reply.begin(), {0x11, 0x22, 0x33});  // noise before the reply
    return {Piece{at, reply}};
}

// A faulty line: no damaged value ever reaches a round or the history,
// the weak cell's alarm is raised and cleared and both are stored, every
// round is stored, and a restart restores each device from its newest
// stored round.
TEST_F(RunOnFakeClock, FaultyLineRoundsHistoryAlarmsAndRestart) {
    const std::string port = Port("a", [](MonitorLine& l) { l.SetMonitor(0x81, Faulty); });
    const std::string site = Site(PortJson(port, {12}, kCellAlarms), 0.1);
    const auto r = Run(site, Rounds(40));
    ASSERT_EQ(r.status, 0) << r.err;

    const auto rounds = r.Of("round");
    ASSERT_FALSE(rounds.empty());
    std::set<double> cell6;
    for (const auto& round : rounds) {
        ASSERT_EQ(round["cells"].size(), 29u);
        for (Json::ArrayIndex i = 0; i < 29; ++i) {
            if (i != 5) {
                EXPECT_DOUBLE_EQ(round["cells"][i].asDouble(), 13.5) << "round " << round["round"].asInt();
            }
        }
        cell6.insert(round["cells"][5].asDouble());
        EXPECT_DOUBLE_EQ(round["group_voltage"].asDouble(), 390.0);
        EXPECT_DOUBLE_EQ(round["group_current"].asDouble(), 1.5);
        EXPECT_DOUBLE_EQ(round["temperature"].asDouble(), 25.0);
    }
    EXPECT_EQ(cell6, (std::set<double>{11.2, 13.5}));

    const auto alarms = r.Of("alarm");
    ASSERT_EQ(alarms.size(), 2u) << r.out;
    EXPECT_EQ(alarms[0]["state"].asString(), "raised");
    EXPECT_EQ(alarms[0]["name"].asString(), "battery_5_value");
    EXPECT_EQ(alarms[0]["label"].asString(), "第6节电池");
    EXPECT_EQ(alarms[0]["bound"].asString(), "low");
    EXPECT_FLOAT_EQ(alarms[0]["value"].asFloat(), 11.2f);
    EXPECT_EQ(alarms[1]["state"].asString(), "cleared");

    const auto s = r.One("summary", 12);
    EXPECT_EQ(s["cycles"].asInt(), 40) << s.toStyledString();
    EXPECT_EQ(s["completed"].asInt(), static_cast<int>(rounds.size()));
    EXPECT_EQ(s["completed"].asInt() + s["abandoned"].asInt(), 40) << s.toStyledString();
    // Every kind of fault the line made was seen as what it is, and none
    // was taken for a second monitor's answer.
    for (const char* reason : {"timeout", "checksum", "address"})
        EXPECT_GT(s["failures"][reason].asInt(), 0) << reason << s.toStyledString();
    EXPECT_EQ(s["failures"]["two answers"].asInt(), 0) << s.toStyledString();

    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    long rows = 0;
    store.Reader().ForEachRow(12, [&](const history::Row& row) {
        ++rows;
        const auto rec = BatteryRecord::Decode(row.record.data(), row.record.size());
        ASSERT_TRUE(rec);
        EXPECT_FLOAT_EQ(rec->group_voltage, 390.0f);
        EXPECT_EQ(row.charge_state, "recharge");  // 1.5 A into the string
    });
    EXPECT_EQ(rows, static_cast<long>(rounds.size()));
    const auto stored_alarms = store.Reader().Alarms(12);
    ASSERT_EQ(stored_alarms.size(), 2u);
    EXPECT_EQ(stored_alarms[0].label, "第6节电池");
    EXPECT_EQ(stored_alarms[0].state, "raised");
    EXPECT_EQ(stored_alarms[1].state, "cleared");

    const auto newest = store.Reader().Newest(12);
    ASSERT_TRUE(newest);
    const auto again = Run(site, Rounds(3));
    EXPECT_EQ(again.status, 0) << again.err;
    const auto restored = again.One("restored", 12);
    EXPECT_EQ(restored["value"].asInt(), 1);
    EXPECT_EQ(restored["saved_at"].asString(), newest->saved_at);
    EXPECT_EQ(StoredRows(db_, 12), rows + static_cast<long>(again.Of("round").size()));
}

// A monitor silent for its 21st to 36th requests, then answering again:
// found not answering after three failed cycles, told once, and once again
// when it answers; each silent cycle ran out its three resends, and the
// ticks that passed meanwhile were never polled.
TEST_F(RunOnFakeClock, ASilentMonitorIsToldOnceAndAgainWhenItAnswers) {
    const std::string port = Port("a", [](MonitorLine& l) {
        l.SetMonitor(0x81, [](const Request& r) {
            if (r.n >= 20 && r.n < 36) return std::vector<Piece>{};
            return MonitorLine::Prompt()(r);
        });
    });
    const std::string site =
        Site(R"({"quiet_guard_ms":40,"probe_interval_ms":100,)" + PortJson(port, {12}).substr(1), 0.1);
    const auto r = Run(site, Rounds(12));
    ASSERT_EQ(r.status, 0) << r.err;

    const auto health = r.Of("health");
    ASSERT_EQ(health.size(), 3u) << r.out;
    EXPECT_EQ(health[0]["state"].asString(), "answering");
    EXPECT_EQ(health[1]["state"].asString(), "not answering");
    EXPECT_EQ(health[1]["cycles_lost"].asInt(), 3);
    EXPECT_EQ(health[1]["reason"].asString(), "timeout");
    EXPECT_EQ(health[2]["state"].asString(), "answering");
    EXPECT_EQ(health[2]["cycles_lost"].asInt(), 4);

    // Five cycles before the silence, four lost to it (each a request and
    // three resends), three after it.
    const auto s = r.One("summary", 12);
    EXPECT_EQ(s["cycles"].asInt(), 12);
    EXPECT_EQ(s["completed"].asInt(), 8);
    EXPECT_EQ(s["abandoned"].asInt(), 4);
    for (const auto& name : s["failures"].getMemberNames())
        EXPECT_EQ(s["failures"][name].asInt(), name == "timeout" ? 16 : 0) << name;
    const int skipped = s["skipped"].asInt();
    EXPECT_GE(skipped, 3 * 7) << "the ticks each silent cycle's resends took";
    EXPECT_NEAR(s["loss"].asDouble(), 100.0 * (4 + skipped) / (12 + skipped), 0.05);
    EXPECT_EQ(s["silent_periods"].asInt(), 1);
    EXPECT_EQ(s["first_silence"].asString(), health[1]["since"].asString());
}

}  // namespace
