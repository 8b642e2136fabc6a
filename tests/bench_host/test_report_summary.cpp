// The report read a minute at a time from the per-minute summary gives the
// figures it gives read round by round: the same rounds, deviations, ranks,
// flags and discharges; only the worst deviation of a summarised minute is
// taken from its extremes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "history/HistoryStore.h"
#include "history/HistorySummary.h"
#include "record/BatteryRecord.h"
#include "report/StringReport.h"
#include "basics/TimeStamp.h"
#include "unidata/Battery32_Data_t.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kStart = 1796728620000;  // a minute's start

std::vector<uint8_t> Image(int k, double current, bool unread_cell) {
    Battery32_Data_t r{};
    r.data_id = 12;
    for (int i = 0; i < 29; ++i) r.battery_value[i] = 13.5f + 0.001f * static_cast<float>((k * 7 + i * 3) % 11);
    r.battery_value[8] -= 0.0004f * static_cast<float>(k);  // cell 9 drifts low
    if (current < 0)
        for (int i = 0; i < 29; ++i) r.battery_value[i] -= i == 20 ? 0.9f : 0.3f;  // cell 21 sags most
    if (unread_cell) r.battery_value[2] = 0.0f;
    r.group_voltage = 391.5f;
    r.group_current = static_cast<float>(current);
    r.temperature = 25.0f;
    std::vector<uint8_t> out(sizeof r);
    std::memcpy(out.data(), &r, sizeof r);
    return out;
}

TEST(ReportSummary, MinutesFromTheSummaryGiveTheFiguresOfTheRounds) {
    const std::string dir = ::testing::TempDir() + "/report_summary_" + std::to_string(::getpid());
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = dir + "/history.sqlite";
    long stored = 0;
    {
        HistoryStore store(path, HistoryStore::Access::kReadWrite);
        store.Writer().BeginRun({0, "", "", "/lib/a.so", 1, "ab", "site.json", "0"}, TimeStamp::FromMs(kStart));
        // Twelve minutes, a round every 2 s: a 90 s discharge across minutes
        // 4 and 5, a cell unread in minute 7 and, later in it, a cell and
        // the temperature the monitor marked invalid (their image: 0 V, and a
        // temperature that would be the string's hottest).
        for (int k = 0; k < 360; ++k) {
            const int64_t ms = kStart + 2000 * k + 300;
            // Float at half an ampere but for the discharge, and the
            // charger's recharge at 3 A through minutes 9 and 10.
            const double amps = (k >= 110 && k < 155) ? -20.0 : (k >= 240 && k < 300) ? 3.0 : 0.5;
            const bool unread = k >= 210 && k < 215;
            auto img = Image(k, amps, unread);
            const bool invalid = k >= 230 && k < 235;
            if (invalid) {
                Battery32_Data_t r{};
                std::memcpy(&r, img.data(), sizeof r);
                r.battery_value[4] = 0.0f;
                r.temperature = 99.0f;
                std::memcpy(img.data(), &r, sizeof r);
            }
            const uint64_t mask = invalid ? (uint64_t{1} << 4 | uint64_t{1} << BatteryRecord::kTemperatureBit) : 0;
            store.Writer().SaveRecord(12, img.data(), img.size(), TimeStamp::FromMs(ms), "", std::nullopt, mask);
            ++stored;
        }
        // The run's counts, written twice: the later replaces the earlier.
        history::RunDevice counts;
        counts.device_id = 12;
        counts.cycles = 300;
        store.Writer().SaveRunDevice(counts);
        counts.cycles = 362;
        counts.completed = 360;
        counts.lost = 2;
        counts.late_polls = 4;
        store.Writer().SaveRunDevice(counts);
        store.Writer().EndRun(TimeStamp::FromMs(kStart + 2000 * 360));
    }
    {
        // A run summarises its minutes as the clock passes them; these
        // rounds lie in the past, so they are summarised here, up to the
        // start of their last minute (whose rounds stay to be read one by one).
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "DELETE FROM history_minutes_through", nullptr, nullptr, nullptr), SQLITE_OK);
        HistorySummary::Update(db, kStart + 11 * 60000 + 1000);
        sqlite3_close(db);
    }
    HistoryStore store(path, HistoryStore::Access::kReadOnly);
    StringReport::Options by_minute, by_round;
    by_round.use_summary = false;
    // Also a period that cuts minutes at both ends.
    StringReport::Options cut = by_minute, cut_rounds = by_round;
    cut.from_ms = cut_rounds.from_ms = kStart + 30000;
    cut.to_ms = cut_rounds.to_ms = kStart + 600000 + 15000;
    for (const auto& [fast, slow] : {std::pair{by_minute, by_round}, std::pair{cut, cut_rounds}}) {
        const auto a = StringReport::Build(store.Reader(), path, fast);
        const auto b = StringReport::Build(store.Reader(), path, slow);
        ASSERT_EQ(a.devices.size(), 1u);
        ASSERT_EQ(b.devices.size(), 1u);
        const auto& x = a.devices[0];
        const auto& y = b.devices[0];
        EXPECT_GT(x.watch.rounds_from_summary, 100);  // the summary did serve
        EXPECT_EQ(y.watch.rounds_from_summary, 0);
        if (!fast.from_ms) {
            EXPECT_EQ(x.watch.rounds, stored);
        }
        EXPECT_EQ(x.watch.rounds, y.watch.rounds);
        // Rounds with a value marked invalid are counted, and none of
        // their values is taken into a figure.
        EXPECT_EQ(x.watch.undecoded, y.watch.undecoded);
        if (!fast.from_ms) {
            EXPECT_EQ(x.watch.undecoded, 5);
        }
        EXPECT_GT(x.rest.cells[4].min_v, 13.0);
        EXPECT_GT(y.rest.cells[4].min_v, 13.0);
        EXPECT_EQ(x.watch.runs_counted, 1);
        EXPECT_EQ(x.watch.runs_not_recorded, 0);
        EXPECT_EQ(x.watch.cycles_started, 362);
        EXPECT_EQ(x.watch.cycles_failed, 2);
        EXPECT_EQ(x.watch.late_polls, 4);
        EXPECT_EQ(x.watch.runs_with_late_polls, 1);
        EXPECT_EQ(x.rest.rounds, y.rest.rounds);
        EXPECT_EQ(x.recharge.rounds, y.recharge.rounds);
        if (!fast.from_ms) {
            EXPECT_EQ(x.recharge.rounds, 60);
        }
        EXPECT_EQ(x.discharge.rounds, y.discharge.rounds);
        EXPECT_NEAR(x.rest.mean_cell_v, y.rest.mean_cell_v, 1e-6);
        for (int i = 0; i < 29; ++i) {
            for (const auto& [px, py] : {std::pair{&x.rest, &y.rest}, std::pair{&x.recharge, &y.recharge},
                                         std::pair{&x.discharge, &y.discharge}}) {
                const auto& p = px->cells[i];
                const auto& q = py->cells[i];
                EXPECT_EQ(p.n, q.n) << i;
                EXPECT_NEAR(p.deviation_mv, q.deviation_mv, 0.01) << i;
                EXPECT_NEAR(p.mean_v, q.mean_v, 1e-5) << i;
                EXPECT_NEAR(p.min_v, q.min_v, 1e-6) << i;
                EXPECT_NEAR(p.max_v, q.max_v, 1e-6) << i;
                EXPECT_EQ(p.rank, q.rank) << i;
                EXPECT_EQ(p.flagged, q.flagged) << i;
                // The extremes against the minute's mean, not the round's.
                EXPECT_NEAR(p.worst_deviation_mv, q.worst_deviation_mv, 12.0) << i;
            }
        }
        EXPECT_EQ(x.rest.cells[8].rank, 1);
        ASSERT_EQ(x.discharges.size(), 1u);
        ASSERT_EQ(y.discharges.size(), 1u);
        EXPECT_EQ(x.discharges[0].start_ms, y.discharges[0].start_ms);
        EXPECT_EQ(x.discharges[0].end_ms, y.discharges[0].end_ms);
        EXPECT_DOUBLE_EQ(x.discharges[0].ampere_hours, y.discharges[0].ampere_hours);
        EXPECT_EQ(x.discharges[0].lowest_cell, 21);
        // The verdict's times in each charge state and its float rounds
        // are the rounds' own: each minute counts its rounds and its time.
        const auto& vx = a.verdicts.at(0).figures;
        const auto& vy = b.verdicts.at(0).figures;
        for (std::size_t k = 0; k < 4; ++k) EXPECT_NEAR(vx.seconds[k], vy.seconds[k], 1e-9) << k;
        EXPECT_EQ(vx.float_rounds, vy.float_rounds);
        EXPECT_EQ(vx.float_held_rounds, vy.float_held_rounds);
        // Every round read: those with a value marked invalid are not judged.
        EXPECT_EQ(vx.float_rounds + vx.float_held_rounds, x.watch.rounds - x.watch.undecoded);
        long n = 0;
        for (const auto& bucket : x.string_chart.Buckets()) n += bucket.n;
        EXPECT_EQ(n, x.rest.rounds + x.recharge.rounds + x.discharge.rounds);
    }
    fs::remove_all(dir);
}

}  // namespace

// Wherever the wall clock puts a round, the summary follows: the minutes a
// round went to are summarised again once the writer leaves them, a minute
// reopened has no row a reader could take for all its rounds, and the
// report counts every round stored and names the first and last exactly,
// while the run goes on and after it ended.
TEST(ReportSummary, MinutesFollowTheRoundsWhereverTheClockPutsThem) {
    constexpr int64_t kMinute = HistorySummary::kMinuteMs, kHour = 60 * kMinute, kDay = 24 * kHour;
    const struct {
        const char* what;
        std::vector<std::pair<int, int64_t>> steps;  // (before round k, by ms)
    } cases[] = {
        {"no step", {}},
        {"back 1 h", {{60, -kHour}}},
        {"back 80 s, then forward 80 s", {{40, -80000}, {120, 80000}}},
        {"forward 1 day", {{70, kDay}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = ::testing::TempDir() + "/report_steps_" + std::to_string(::getpid());
        fs::remove_all(dir);
        fs::create_directories(dir);
        const std::string path = dir + "/history.sqlite";
        // Near now, as a run writes: the summary's through_ms is the
        // minute the store was opened in.
        const int64_t start = HistorySummary::MinuteOf(TimeStamp::Now().Ms()) + 700;
        int64_t offset = 0, first = 0, last = 0;
        long stored = 0;
        const auto expect_all = [&](const std::string& when) {
            HistoryStore reader(path, HistoryStore::Access::kReadOnly);
            const auto r = StringReport::Build(reader.Reader(), path, {});
            ASSERT_EQ(r.devices.size(), 1u) << when;
            EXPECT_EQ(r.devices[0].watch.rounds, stored) << when;
            EXPECT_EQ(r.devices[0].watch.first_ms, first) << when;
            EXPECT_EQ(r.devices[0].watch.last_ms, std::max(last, first)) << when;
        };
        {
            HistoryStore store(path, HistoryStore::Access::kReadWrite);
            store.Writer().BeginRun({0, "", "", "/lib/a.so", 1, "ab", "site.json", "0"}, TimeStamp::FromMs(start));
            for (int k = 0; k < 150; ++k) {  // a round each 1.5 s: 225 s, across four minutes
                for (const auto& [at, by] : c.steps)
                    if (at == k) offset += by;
                const int64_t ms = start + 1500 * k + offset;
                const auto img = Image(k, 1.5, false);
                store.Writer().SaveRecord(12, img.data(), img.size(), TimeStamp::FromMs(ms));
                ++stored;
                first = stored == 1 ? ms : std::min(first, ms);
                last = std::max(last, ms);
                if (k % 50 == 49) expect_all("round " + std::to_string(k));
            }
            store.Writer().EndRun(TimeStamp::FromMs(start + 1500 * 150 + offset));
        }
        expect_all("after the run");
        fs::remove_all(dir);
    }
}
