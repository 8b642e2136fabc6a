// bench-host run end to end: monitor-sim on a pseudo-terminal with faults
// on, the plug-in loaded and polled, history and alarms in SQLite.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "record/BatteryRecord.h"
#include "ChildProcess.h"
#include "history/HistoryStore.h"
#include "PtyScreen.h"
#include "SiteRun.h"

namespace {

using namespace std::chrono_literals;

class RunEndToEnd : public SiteRun {};

const char* kDevice12 =
    R"({"id":12,"type":"upsbattery_29","addr":1,"config":{"appSetting":{}},)"
    R"("alarms":{"battery_*_value":{"low":12.0,"high":14.4}}})";

// The faulty line's smoke run on a pseudo-terminal: outcomes only, the run
// stopped once the weak cell's alarm has cleared.  How many cycles it
// completes and what it counts are the fake clock's to prove
// (RunOnFakeClock.FaultyLineRoundsHistoryAlarmsAndRestart).
TEST_F(RunEndToEnd, FaultyLineRoundsHistoryAlarmsAndRestart) {
    StartSim({"--seed", "11", "--drop", "0.03", "--wrong-addr", "0.03", "--corrupt", "0.05", "--garbage", "0.1",
              "--split", "0.2", "--split-pause-ms", "5", "--late", "0.03:150", "--drift", "0.02", "--weak-cell",
              "5:11.2:8", "--current", "1.5"});
    const std::string site = Site(kDevice12);
    ChildProcess host({kBin, "run", "--config", site, "--json"});
    ASSERT_TRUE(host.WaitForOutput(R"("state":"cleared")", 60s)) << host.Out();
    host.Signal(SIGTERM);
    const auto r = host.Finish(30s);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto events = JsonLines(r.out);

    // No corrupted value is ever accepted: every completed round carries
    // what the simulator sent intact for that cycle's very requests.
    const auto sent = ReadSent(29).at(0x81);
    const auto rounds = Events(events, "round");
    ASSERT_FALSE(rounds.empty()) << r.out;
    for (const auto& round : rounds) {
        std::vector<float> cells;
        for (const auto& c : round["cells"]) cells.push_back(static_cast<float>(c.asDouble()));
        ASSERT_EQ(cells.size(), 29u);
        EXPECT_EQ(Mismatch(sent, cells, round["group_voltage"].asFloat(), round["group_current"].asFloat(),
                           round["temperature"].asFloat()),
                  "")
            << "round " << round["round"].asInt();
    }

    // The weak cell raises its alarm with the display label, and clears it
    // once it recovers; both are stored.
    const auto alarms = Events(events, "alarm");
    ASSERT_GE(alarms.size(), 2u) << r.out;
    EXPECT_EQ(alarms[0]["state"].asString(), "raised");
    EXPECT_EQ(alarms[0]["name"].asString(), "battery_5_value");
    EXPECT_EQ(alarms[0]["label"].asString(), "第6节电池");
    EXPECT_EQ(alarms[0]["bound"].asString(), "low");
    EXPECT_FLOAT_EQ(alarms[0]["value"].asFloat(), 11.2f);
    EXPECT_EQ(alarms[1]["state"].asString(), "cleared");
    EXPECT_EQ(alarms[1]["name"].asString(), "battery_5_value");

    const auto summary = Events(events, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["completed"].asInt(), static_cast<int>(rounds.size()));
    // One monitor on a spoiling line: its spoilt replies are never taken
    // for a second monitor's answers.
    EXPECT_EQ(summary[0]["failures"]["two answers"].asInt(), 0) << summary[0].toStyledString();

    // Every completed round is in the history, with its record image.
    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    long rows = 0;
    store.Reader().ForEachRow(12, [&](const HistoryStore::Row& row) {
        ++rows;
        EXPECT_EQ(row.record.size(), 152u);
        EXPECT_EQ(row.saved_at.size(), 29u) << row.saved_at;  // YYYY-MM-DDThh:mm:ss.mmm+hh:mm
        EXPECT_EQ(TimeStamp::FromMs(row.saved_ms).Text(), row.saved_at);
        EXPECT_EQ(row.charge_state, "recharge");  // 1.5 A into the string, judged with the round
    });
    EXPECT_EQ(rows, static_cast<long>(rounds.size()));
    const auto stored_alarms = store.Reader().Alarms(12);
    ASSERT_GE(stored_alarms.size(), 2u);
    EXPECT_EQ(stored_alarms[0].label, "第6节电池");
    EXPECT_EQ(stored_alarms[0].state, "raised");
    EXPECT_EQ(stored_alarms[1].state, "cleared");

    // A restart restores the device from its newest stored round first,
    // whatever it then polls.
    const auto newest = store.Reader().Newest(12);
    ASSERT_TRUE(newest);
    const auto again = RunHost(site, {"--rounds", "3"});
    ASSERT_FALSE(again.timed_out);
    const auto restored = Events(JsonLines(again.out), "restored");
    ASSERT_EQ(restored.size(), 1u) << again.out;
    EXPECT_EQ(restored[0]["value"].asInt(), 1);
    EXPECT_EQ(restored[0]["saved_at"].asString(), newest->saved_at);

    // The history reader decodes what was stored.
    const auto csv = ChildProcess::Run({kBin, "history", "--db", db_, "--id", "12", "--csv"}, 30s);
    EXPECT_EQ(csv.status, 0) << csv.err;
    std::istringstream lines(csv.out);
    std::string header;
    std::getline(lines, header);
    EXPECT_EQ(header.rfind("device_id,run_id,saved_at,saved_ms,record_time,data_id,group_voltage_volts,"
                           "group_current_amperes,temperature_celsius,cell_1_volts,",
                           0),
              0u);
    long csv_rows = 0;
    for (std::string l; std::getline(lines, l);) ++csv_rows;
    EXPECT_GE(csv_rows, rows + 1);
}

// Two monitors configured on one bus, only one of them answering: the bus
// goes to each in turn, the silent one's cycles time out after their
// resends, and the run reports that it never completed a cycle.
TEST_F(RunEndToEnd, SilentDeviceOnSharedBusTimesOutAndFailsTheRun) {
    StartSim({"--addr", "0x81"});
    const std::string site =
        Site(std::string(kDevice12) + R"(,{"id":13,"addr":2,"config":{}})", 0.1, R"("quiet_guard_ms":40,)");
    const auto r = RunHost(site, {"--rounds", "3"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("device 13 never completed a cycle"), std::string::npos) << r.err;
    const auto summary = Events(JsonLines(r.out), "summary");
    ASSERT_EQ(summary.size(), 2u);
    EXPECT_EQ(summary[1]["completed"].asInt(), 0);
    EXPECT_GT(summary[1]["abandoned"].asInt(), 0);
    // Every cycle of the silent one ran out its resends.
    EXPECT_EQ(summary[1]["resends"].asInt(), 3 * summary[1]["abandoned"].asInt());
}

// An adapter unplugged and plugged back: the line goes away under the host
// (the simulator ends, its pseudo-terminal with it) and comes back under the
// same path.  The host reports the loss, reopens the port with backoff and
// goes on with the same devices: their round count continues.
TEST_F(RunEndToEnd, ReopensALostPortAndKeepsTheDevices) {
    StartSim({"--seed", "3"});
    ChildProcess host({kBin, "run", "--config", Site(kDevice12), "--json"});
    ASSERT_TRUE(host.WaitForOutput(R"("round":2)", 10s)) << host.Out();
    Unplug();
    ASSERT_TRUE(host.WaitForOutput(R"("ev":"port")", 10s)) << host.Out();
    ::usleep(300000);
    StartSim({"--seed", "4"});  // plugged back, same path
    ASSERT_TRUE(host.WaitForOutput("reopened", 15s)) << host.Out();
    // And polls again.
    const int before = static_cast<int>(Events(JsonLines(host.Out()), "round").size());
    ASSERT_TRUE(host.WaitForOutput(R"("round":)" + std::to_string(before + 1) + ",", 10s)) << host.Out();
    host.Signal(SIGTERM);
    const auto r = host.Finish(20s);
    ASSERT_FALSE(r.timed_out);
    const auto events = JsonLines(r.out);
    const auto rounds = Events(events, "round");
    ASSERT_GE(rounds.size(), 2u);
    // Rounds after the reopen carry on from the count before it.
    int previous = 0;
    bool after_reopen = false;
    for (const auto& e : events) {
        if (e["ev"].asString() == "port" && e["what"].asString() == "reopened") after_reopen = true;
        if (e["ev"].asString() != "round") continue;
        EXPECT_EQ(e["round"].asInt(), previous + 1);
        previous = e["round"].asInt();
    }
    EXPECT_TRUE(after_reopen);

    // The outage counts: the device was told lost and answering again, the
    // cycles it could not run are lost, and the port's outage is summed up.
    std::vector<std::string> states;
    for (const auto& h : Events(events, "health")) states.push_back(h["state"].asString());
    EXPECT_EQ(states, (std::vector<std::string>{"answering", "port lost", "answering"})) << r.out;
    const auto summary = Events(events, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_GT(summary[0]["missed"].asInt(), 0) << r.out;
    EXPECT_GT(summary[0]["loss"].asDouble(), 0.0) << r.out;
    const auto ports = Events(events, "port_summary");
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0]["outages"].asInt(), 1);
    EXPECT_GE(ports[0]["outage_s"].asDouble(), 0.3);
}

// A half-duplex adapter hands the host its own request back before the
// reply.  With "echo" set the host takes the echo off and every cycle
// completes cleanly.
TEST_F(RunEndToEnd, HalfDuplexEchoIsSuppressed) {
    StartSim({"--seed", "5", "--echo", "--trace"});
    const std::string path = dir_ + "/site.json";
    std::ofstream(path) << R"({"tick_period":0.1,"history":")" << db_ << R"(","ports":[{"path":")" << link_
                        << R"(","echo":true,"devices":[)" << kDevice12 << "]}]}";
    const auto r = RunHost(path, {"--rounds", "5", "--trace"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto summary = Events(JsonLines(r.out), "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_GT(summary[0]["completed"].asInt(), 0);
    // An echo handed to the device would be refused as a reply.
    for (const char* refused : {"start byte", "address", "checksum"})
        EXPECT_EQ(summary[0]["failures"][refused].asInt(), 0) << refused << summary[0].toStyledString();
    EXPECT_EQ(CheckStoredRecords(12, 0x81, 29), summary[0]["completed"].asInt());
    // The trace shows the echo taken off, not handed to the device.
    EXPECT_NE((r.out + r.err).find("echo"), std::string::npos) << r.err.substr(0, 3000);
}

// A monitor that answers after the host has given up on the reply: the late
// reply, the only one its monitor owes, is taken as its own request's
// answer, never for the answer to a later request.  How each late reply is
// timed, counted and spares a resend is the bus bench's to prove on its
// clock (BusScheduler.LateReplyOwedAloneAnswersItsOwnRequest).
TEST_F(RunEndToEnd, LateRepliesAnswerTheirOwnRequestAndNoLaterOne) {
    StartSim({"--seed", "21", "--drift", "0.02", "--late", "0.15:150"});
    const auto r = RunHost(Site(kDevice12), {"--rounds", "20"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    sim_->Signal(SIGTERM);
    const auto sim = sim_->Finish(10s);

    // Every stored record holds the replies to its own cycle's requests.
    EXPECT_GT(CheckStoredRecords(12, 0x81, 29), 0);
    // The simulator did hold replies back.
    const auto held = sim.out.rfind(" late)");
    ASSERT_NE(held, std::string::npos) << sim.out;
    EXPECT_GT(std::stoi(sim.out.substr(sim.out.rfind(' ', held - 1) + 1)), 0) << sim.out;
}

// A monitor falls silent for 16 requests and answers again: one health
// event when it is found not answering (after three failed cycles), one
// when it answers again, both in the history and its listing, the silence
// in the summary.  The cycles, resends and ticks it lost are counted on the
// fake clock (RunOnFakeClock.ASilentMonitorIsToldOnceAndAgainWhenItAnswers).
TEST_F(RunEndToEnd, SilentMonitorIsReportedOnceAndAgainWhenItAnswers) {
    StartSim({"--seed", "4", "--stop-after", "20:16"});
    ChildProcess host(
        {kBin, "run", "--config", Site(kDevice12, 0.1, R"("quiet_guard_ms":40,"probe_interval_ms":100,)"), "--json"});
    ASSERT_TRUE(host.WaitForOutput(R"("was":"not answering")", 60s)) << host.Out();
    host.Signal(SIGTERM);
    const auto r = host.Finish(30s);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto events = JsonLines(r.out);
    const auto health = Events(events, "health");
    ASSERT_EQ(health.size(), 3u) << r.out;
    EXPECT_EQ(health[0]["state"].asString(), "answering");
    EXPECT_EQ(health[0]["was"].asString(), "never answered");
    EXPECT_EQ(health[1]["state"].asString(), "not answering");
    EXPECT_EQ(health[1]["cycles_lost"].asInt(), 3);
    EXPECT_EQ(health[1]["reason"].asString(), "timeout");
    EXPECT_EQ(health[2]["state"].asString(), "answering");
    EXPECT_EQ(health[2]["was"].asString(), "not answering");
    // Each state since it began: the silence from its first unanswered
    // request, the answering from the round that ended it.
    EXPECT_GT(health[2]["since"].asString(), health[1]["since"].asString());
    EXPECT_GT(health[2]["without_round_s"].asDouble(), 0.0);

    const auto summary = Events(events, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["state"].asString(), "answering");
    // The silence is in the summary although the device answers at the end,
    // and in the history beside the rounds.
    EXPECT_EQ(summary[0]["silent_periods"].asInt(), 1);
    EXPECT_GT(summary[0]["silent_s"].asDouble(), 0.0);
    EXPECT_EQ(summary[0]["first_silence"].asString(), health[1]["since"].asString());
    EXPECT_EQ(summary[0]["alarms_standing"].size(), 0u);
    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    const auto stored = store.Reader().HealthChanges(12);
    ASSERT_EQ(stored.size(), health.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(stored[i].state, health[i]["state"].asString());
        EXPECT_EQ(stored[i].since, health[i]["since"].asString());
    }
    const auto listed = ChildProcess::Run({kBin, "history", "--db", db_, "--health"}, 30s);
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("device 12  not answering since " + health[1]["since"].asString() +
                              "  (was answering)  3 cycles lost  timeout"),
              std::string::npos)
        << listed.out;
}

namespace screen {

bool Has(const PtyScreen& s, const std::string& text) { return s.Text().find(text) != std::string::npos; }

// The view is on screen whole: its title on the first row and the plug-in
// line on the last.
bool Whole(const PtyScreen& s, std::size_t rows) {
    const auto r = s.Rows();
    return r.size() == rows && r.front().rfind("bench-host run", 0) == 0 && r.back().rfind("plug-in:", 0) == 0;
}

}  // namespace screen

// The live view on an 80x24 terminal with four devices, one of them
// silent, one with a low cell: everything fits (nothing scrolls), the
// silent device says so, the alarm stays in view however many lines the
// plug-in writes, and a resize is followed.  SIGHUP ends it with the
// summary.
TEST_F(RunEndToEnd, LiveViewFitsTheTerminalAndFollowsAResize) {
    StartSim({"--seed", "9", "--addr", "0x81", "--addr", "0x82", "--addr", "0x83", "--weak-cell", "0x81/5:11.2"});
    std::string devices;
    for (int i = 1; i <= 4; ++i)
        devices += std::string(i > 1 ? "," : "") + R"({"id":)" + std::to_string(100 + i) + R"(,"addr":)" +
                   std::to_string(i) + R"(,"config":{},"alarms":{"battery_*_value":{"low":12.0}}})";
    const std::string log = dir_ + "/plugin.log";
    PtyScreen view({kBin, "run", "--config", Site(devices, 0.2, R"("quiet_guard_ms":40,)"), "--plugin-log", log}, 24,
                   80, {"TERM=xterm"});
    const bool shown = view.WaitFor(
        [](const PtyScreen& s) {
            return screen::Whole(s, 24) && screen::Has(s, "device 101: answering") &&
                   screen::Has(s, "device 102: answering") && screen::Has(s, "device 103: answering") &&
                   screen::Has(s, "device 104: never answered: no answer since") &&
                   screen::Has(s, "ALARM 第6节电池");
        },
        30s);
    ASSERT_TRUE(shown) << view.Text();
    EXPECT_EQ(view.Scrolled(), 0) << view.Text();
    EXPECT_TRUE(screen::Has(view, "(all in /")) << view.Text();

    view.Resize(16, 60);
    ASSERT_TRUE(view.WaitFor([](const PtyScreen& s) { return screen::Whole(s, 16) && screen::Has(s, "device 104"); },
                             10s))
        << view.Text();
    EXPECT_TRUE(screen::Has(view, "ALARM")) << view.Text();

    view.Signal(SIGHUP);
    EXPECT_EQ(view.Finish(20s), 3);  // device 104 never completed a cycle
    EXPECT_NE(view.Raw().find("--- device 104"), std::string::npos);
    // The view's events stay on the terminal after it closes, before the
    // summary: the alarm and the silent device among them.
    const std::string raw = view.Raw();
    const auto events_at = raw.rfind("events:");
    ASSERT_NE(events_at, std::string::npos) << raw;
    EXPECT_LT(events_at, raw.rfind("--- device 101"));
    EXPECT_NE(raw.find("ALARM device 10", events_at), std::string::npos);
    EXPECT_NE(raw.find("alarms standing: 第6节电池", events_at), std::string::npos);
    std::ifstream plugin_lines(log);
    std::string first;
    EXPECT_TRUE(std::getline(plugin_lines, first)) << "no plug-in line in " << log;
}

// A terminal that cannot be drawn on gets plain lines, no escapes.
// The demo's run (a weak cell, the current sensor's 0.04 A steps, a
// discharge) read every way a person reads it: no value shows a float's
// residue (1.5200019, -19.999998, 44.899999999999999).
TEST_F(RunEndToEnd, NoValueIsPrintedAsARawFloat) {
    StartSim({"--seed", "7", "--weak-cell", "5:11.2:6", "--current-sensor", "--discharge", "20:1:2",
              "--high-resistance", "5:3"});
    const std::string site = Site(
        R"({"id":12,"addr":1,"config":{"appSetting":{"battery_type":0,"version":1,"current_ratio":1}},)"
        R"("alarms":{"battery_*_value":{"low":12.0,"high":14.4},"group_current":{"low":-15.0,"high":50.0}}})");
    const std::regex raw(R"(\d\.\d{4,}|\de-\d)");
    const struct {
        const char* what;
        std::vector<std::string> args;
    } outputs[] = {
        {"run, plain lines", {kBin, "run", "--config", site, "--duration", "4"}},
        {"run --json", {kBin, "run", "--config", site, "--json", "--rounds", "5"}},
        {"history", {kBin, "history", "--db", db_}},
        {"history --csv", {kBin, "history", "--db", db_, "--csv"}},
        {"history --alarms", {kBin, "history", "--db", db_, "--alarms"}},
        {"history --alarms --csv", {kBin, "history", "--db", db_, "--alarms", "--csv"}},
    };
    for (const auto& o : outputs) {
        const auto r = ChildProcess::Run(o.args, 60s);
        EXPECT_EQ(r.status, 0) << o.what << ": " << r.err;
        EXPECT_FALSE(r.out.empty()) << o.what;
        std::smatch m;
        for (const std::string* text : {&r.out, &r.err}) {
            EXPECT_FALSE(std::regex_search(*text, m, raw)) << o.what << ": " << m.str() << " in\n" << *text;
        }
    }
    // The report's figures: at most the tenth of a millivolt they are
    // computed to.
    const std::string json = db_ + ".report.json";
    const auto r = ChildProcess::Run({kBin, "report", "--db", db_, "--out", db_ + ".report.html", "--json", json}, 60s);
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in(json);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::smatch m;
    EXPECT_FALSE(std::regex_search(text, m, std::regex(R"(\d\.\d{5,}|\de-\d)"))) << m.str();
}

// The run's own float alarms: a string at 35 °C floating at the 25 °C
// voltage, block 6 below its band, a short discharge.  Raised once settled,
// held through the discharge with nothing raised meanwhile, resumed on
// float; the hold, the charge states and the operator's test note are kept.
TEST_F(RunEndToEnd, FloatAlarmsAreRaisedOnFloatAndHeldThroughADischarge) {
    StartSim({"--current-sensor", "--current", "0.3", "--temperature", "35", "--drift", "0", "--weak-cell", "5:13.2",
              "--discharge", "20:8:4"});
    const std::string site = Site(
        R"({"id":12,"addr":1,"config":{"appSetting":{"battery_type":0,"version":1,"current_ratio":1}},)"
        R"("battery":{"float_settle_s":2}})",
        0.25);
    const auto r = RunHost(site, {"--duration", "22", "--test", "a bench test"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto events = JsonLines(r.out);
    EXPECT_EQ(Events(events, "started").at(0)["test"].asString(), "a bench test");
    std::vector<std::string> seen;  // float alarm raises and the holds, in order
    for (const auto& e : events) {
        if (e["ev"] == "float_alarms") seen.push_back(e["state"].asString());
        if (e["ev"] == "alarm" && e["name"] == "battery_5_float") seen.push_back(e["state"].asString() + " " + e["bound"].asString());
    }
    ASSERT_GE(seen.size(), 3u) << r.out;
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 3),
              (std::vector<std::string>{"raised low", "held", "resumed"}));
    HistoryStore store(db_, HistoryStore::Access::kReadOnly);
    std::set<std::string> states;
    store.Reader().ForEachRow(12, [&](const HistoryStore::Row& row) { states.insert(row.charge_state); });
    EXPECT_EQ(states, (std::set<std::string>{"discharge", "float"}));
    const auto notes = store.Reader().Notes();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes[0].kind, "float alarms held");
    EXPECT_EQ(notes[0].text, "device 12: float alarms held: discharge");
    EXPECT_EQ(notes[0].device_id, std::optional<uint32_t>(12));
    EXPECT_EQ(store.Reader().Runs().back().test_note, "a bench test");
}

TEST_F(RunEndToEnd, DumbTerminalGetsPlainLines) {
    StartSim({"--seed", "2"});
    PtyScreen term({kBin, "run", "--config", Site(kDevice12)}, 24, 80, {"TERM=dumb"});
    ASSERT_TRUE(term.WaitFor([](const PtyScreen& s) { return s.Raw().find("device 12 round 2:") != std::string::npos; },
                             60s))
        << term.Raw();
    term.Signal(SIGTERM);
    EXPECT_EQ(term.Finish(30s), 0) << term.Raw();
    EXPECT_EQ(term.Raw().find('\x1b'), std::string::npos) << term.Raw();
    EXPECT_NE(term.Raw().find("device 12: answering"), std::string::npos) << term.Raw();
    EXPECT_NE(term.Raw().find("--- device 12 on "), std::string::npos) << term.Raw();
}

TEST_F(RunEndToEnd, BusyPortIsReportedOnOneLine) {
    StartSim({});
    const int fd = ::open(link_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const auto r = RunHost(Site(kDevice12), {"--rounds", "1"});
    ::close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// Ctrl-C, a kill, and the terminal going away (SIGHUP) all end the run
// with its summary.
TEST_F(RunEndToEnd, StopsWithTheSummaryOnEachStopSignal) {
    StartSim({});
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        ChildProcess host({kBin, "run", "--config", Site(kDevice12), "--json"});
        ASSERT_TRUE(host.WaitForOutput("\"ev\":\"round\"", 20s));
        host.Signal(sig);
        const auto r = host.Finish(20s);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\"ev\":\"summary\""), std::string::npos);
    }
}

// Start-up failures: one clear line on stderr, nothing on stdout, non-zero.
TEST_F(RunEndToEnd, SetupFailuresGiveOneLine) {
    const std::string good = Site(kDevice12);
    const std::string bad_json = dir_ + "/bad.json";
    std::ofstream(bad_json) << R"({"ports":[{"path":"/dev/null","devices":[{"id":1}]}]})";
    const std::string not_json = dir_ + "/not.json";
    std::ofstream(not_json) << "ports: none";
    // The 32-cell string is the base of the plug-in's model, not a type it makes.
    const std::string other_type = dir_ + "/other_type.json";
    std::ofstream(other_type) << R"({"ports":[{"path":"/dev/null","devices":[{"id":1,"addr":1,"type":"battery_32"}]}]})";
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {"missing port", {"--config", good}, "no serial port"},
        {"no site file", {"--config", dir_ + "/none.json"}, "none.json does not exist"},
        {"no such folder", {"--config", dir_ + "/none/site.json"}, "does not exist: no such folder"},
        {"site file not JSON", {"--config", not_json}, "not valid JSON"},
        {"device without address", {"--config", bad_json}, "missing \"addr\""},
        {"unloadable plug-in", {"--config", good, "--plugin", dir_ + "/none.so"}, "plug-in"},
        {"a type the plug-in does not make", {"--config", other_type},
         "the plug-in makes no device of type \"battery_32\" (device 1); it makes \"upsbattery_29\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv{kBin, "run"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = ChildProcess::Run(argv, 30s);
        EXPECT_NE(r.status, 0);
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

}  // namespace
