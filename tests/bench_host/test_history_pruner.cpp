// The rounds older than the days kept go, a whole summarised minute at a
// time; the summary, alarms, health and runs stay; the file gives the room
// back; the page, the report and the CSV agree across the pruned edge.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "basics/TimeStamp.h"
#include "history/HistoryPruner.h"
#include "history/HistorySchema.h"
#include "history/HistoryReport.h"
#include "history/HistoryStore.h"
#include "history/HistorySummary.h"
#include "history/SqlConnection.h"
#include "report/StringReport.h"
#include "unidata/Battery32_Data_t.h"
#include "web/SqliteHistoryQuery.h"
#include "tests/support/Await.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kMin = 60000;
constexpr int64_t kDay = HistoryPruner::kDayMs;
constexpr int64_t kStart = 1796728620000;  // a minute's start

std::vector<uint8_t> Image(int k) {
    Battery32_Data_t r{};
    r.data_id = 7;
    for (int i = 0; i < 29; ++i) r.battery_value[i] = 13.4f + 0.001f * static_cast<float>((k + i) % 50);
    r.group_voltage = 390.0f + 0.1f * static_cast<float>(k % 37);
    r.group_current = 1.5f;
    r.temperature = 25.0f;
    std::vector<uint8_t> out(sizeof r);
    std::memcpy(out.data(), &r, sizeof r);
    return out;
}

class Pruning : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = ::testing::TempDir() + "/pruner_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = dir_ + "/history.sqlite";
        HistoryStore store(path_, HistoryStore::Access::kReadWrite);  // the schema, as a run makes it
        store.Writer().BeginRun({}, TimeStamp::FromMs(kStart));
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Rounds of device id at the given times, in one transaction.
    void Store(uint32_t id, const std::vector<int64_t>& times) {
        SqlConnection db(path_, SqlConnection::Open::kCreate);
        db.Exec("BEGIN");
        SqlStatement st = db.Prepare("INSERT INTO history(device_id, saved_at, record, saved_ms, run_id) "
                                     "VALUES(?, ?, ?, ?, 1)");
        int k = 0;
        for (const int64_t t : times) {
            const auto img = Image(k++);
            st.Reset().Bind(1, int64_t{id}).Bind(2, TimeStamp::FromMs(t).Text()).BindBlob(3, img.data(), img.size())
                .Bind(4, t).Run();
        }
        db.Exec("COMMIT");
    }
    // The summary up to now_ms, as a run would have made it while the
    // rounds came (they are stored here after the fact).
    void Summarise(int64_t now_ms) {
        SqlConnection db(path_, SqlConnection::Open::kCreate);
        db.Exec("DELETE FROM history_minutes_through");
        HistorySummary::Update(db.get(), now_ms);
        db.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    std::vector<int64_t> Kept(uint32_t id) {
        SqlConnection db(path_, SqlConnection::Open::kReadOnly);
        SqlStatement st = db.Prepare("SELECT saved_ms FROM history WHERE device_id = ? ORDER BY saved_ms");
        st.Bind(1, int64_t{id});
        std::vector<int64_t> out;
        while (st.Step()) out.push_back(st.Int(0));
        return out;
    }
    // Prunes until a step finds nothing left; returns the rounds deleted.
    long PruneAll(int keep_days, int64_t now_ms, int rows = HistoryPruner::kRowsPerStep) {
        SqlConnection db(path_, SqlConnection::Open::kCreate);
        long deleted = 0;
        for (int i = 0; i < 100000; ++i) {
            const auto s = HistoryPruner::PruneStep(db, keep_days, now_ms, rows);
            EXPECT_LE(s.rows, rows);
            EXPECT_LE(s.pages, HistoryPruner::kPagesPerStep);
            deleted += s.rows;
            if (!s.more) break;
        }
        db.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
        return deleted;
    }

    std::string dir_, path_;
};

TEST(HistoryPrunerEdge, WholeSummarisedMinutesOlderThanTheDaysKept) {
    const int64_t now = kStart + 10 * kDay + 30000;
    struct Case {
        const char* what;
        int keep_days;
        int64_t through_ms;
        std::optional<int64_t> since_ms;
        std::optional<int64_t> edge;
    } cases[] = {
        {"the minute of now minus the days", 2, kStart + 10 * kDay, {}, kStart + 8 * kDay},
        {"one day", 1, kStart + 10 * kDay, {}, kStart + 9 * kDay},
        {"nothing kept for good", 0, kStart + 10 * kDay, {}, std::nullopt},
        {"no summary yet", 2, 0, {}, std::nullopt},
        {"the summary's last minute is summarised again", 2, kStart + 3 * kDay + 90000, {}, kStart + 3 * kDay},
        {"only what the backfill has summarised", 2, kStart + 10 * kDay, kStart + 5 * kDay, kStart + 8 * kDay},
        {"the backfill has not reached the edge", 2, kStart + 10 * kDay, kStart + 9 * kDay, std::nullopt},
        {"a summary from the future (clock set back)", 2, kStart + 20 * kDay, {}, kStart + 8 * kDay},
    };
    for (const auto& c : cases) {
        HistoryReader::Summary s;
        s.through_ms = c.through_ms;
        s.since_ms = c.since_ms;
        EXPECT_EQ(HistoryPruner::Edge(now, c.keep_days, s), c.edge) << c.what;
    }
}

// Which rounds a full pruning leaves, device by device; the limit of a step
// holds on every step.
TEST_F(Pruning, LeavesTheRoundsOfTheDaysKeptAndWhatIsNotSummarised) {
    const int64_t now = kStart + 3 * kDay;
    const int64_t edge = kStart + kDay;  // keep 2 days
    struct Case {
        const char* what;
        std::vector<int64_t> stored;
        std::vector<int64_t> kept;
    } cases[] = {
        {"older minutes go, the edge's minute stays", {kStart, edge - kMin, edge - 1, edge, edge + 1, now - 1000},
         {edge, edge + 1, now - 1000}},
        {"a device with nothing old", {edge + kMin, now - kMin}, {edge + kMin, now - kMin}},
        {"a device with everything old", {kStart + 1, kStart + 2, kStart + kMin, edge - kMin}, {}},
    };
    uint32_t id = 1;
    for (const auto& c : cases) Store(id++, c.stored);
    Summarise(now);
    EXPECT_EQ(PruneAll(2, now, 2), 7);
    id = 1;
    for (const auto& c : cases) EXPECT_EQ(Kept(id++), c.kept) << c.what;
    SqlConnection db(path_, SqlConnection::Open::kReadOnly);
    EXPECT_EQ(HistorySchema::PrunedBefore(db), edge);
    // The summary of the pruned minutes stays.
    EXPECT_EQ(db.Int("SELECT count(*) FROM history_minutes WHERE minute_ms < " + std::to_string(edge)), 5);
}

// Rounds from before the file had a summary wait for the backfill.
TEST_F(Pruning, RoundsNotSummarisedYetStay) {
    const int64_t now = kStart + 3 * kDay;
    Store(1, {kStart, kStart + kMin, kStart + 2 * kMin});
    {
        SqlConnection db(path_, SqlConnection::Open::kCreate);
        db.Exec("CREATE TABLE history_minutes_since(since_ms INTEGER NOT NULL); INSERT INTO history_minutes_since "
                "VALUES(" + std::to_string(kStart + kMin) + ")");
    }
    Summarise(now);
    PruneAll(2, now);
    EXPECT_EQ(Kept(1), std::vector<int64_t>{kStart});
}

// A week of rounds, two days kept: the older rounds are gone, the file
// shrinks, and the page, the report and the CSV agree over the kept range;
// before it, page and report read the summary.
TEST_F(Pruning, AWeekKeptForTwoDays) {
    constexpr int64_t kEvery = 10000;
    const int64_t now = kStart + 7 * kDay;
    std::vector<int64_t> times;
    for (int64_t t = kStart + 300; t < now; t += kEvery) times.push_back(t);
    Store(9, times);
    Summarise(now);
    {
        SqlConnection db(path_, SqlConnection::Open::kCreate);
        EXPECT_FALSE(HistoryPruner::Incremental(db));
        HistoryPruner::MakeIncremental(db);
        EXPECT_TRUE(HistoryPruner::Incremental(db));
    }
    const auto before = fs::file_size(path_);
    const int64_t edge = now - 2 * kDay;
    long old = 0;
    for (const int64_t t : times) old += t < edge;
    EXPECT_EQ(PruneAll(2, now), old);
    const auto kept = Kept(9);
    ASSERT_FALSE(kept.empty());
    EXPECT_GE(kept.front(), edge);
    EXPECT_EQ(static_cast<long>(kept.size()), static_cast<long>(times.size()) - old);
    const auto after = fs::file_size(path_);
    // Each pruned round gave back most of its room (about 240 bytes).
    EXPECT_GT(static_cast<long>(before) - static_cast<long>(after), old * 200) << before << " -> " << after;

    // The CSV: the kept rounds.
    HistoryStore store(path_, HistoryStore::Access::kReadOnly);
    std::ostringstream csv;
    HistoryReport::Options ro;
    ro.csv = true;
    EXPECT_EQ(HistoryReport::PrintRounds(store.Reader(), ro, csv), static_cast<long>(kept.size()));
    double voltage_sum = 0;
    {
        std::istringstream lines(csv.str());
        std::string line;
        std::getline(lines, line);  // the heading
        while (std::getline(lines, line)) {
            std::vector<std::string> f;
            std::istringstream fields(line);
            for (std::string x; std::getline(fields, x, ',');) f.push_back(x);
            voltage_sum += std::stod(f.at(6));
        }
    }
    const double csv_voltage = voltage_sum / static_cast<double>(kept.size());

    // The page: the kept range as the CSV has it; the week whole; a narrow
    // range in the pruned past in minutes.
    SqliteHistoryQuery q(path_);
    const auto rounds = [](const HistoryQuery::Series& s) {
        long n = 0;
        for (const auto r : s.rounds) n += static_cast<long>(r);
        return n;
    };
    HistoryQuery::SeriesRequest r;
    r.device = 9;
    r.range = {kept.front(), kept.back()};
    const auto recent = q.Downsample(r);
    EXPECT_EQ(rounds(recent), static_cast<long>(kept.size()));
    double v = 0;
    for (std::size_t i = 0; i < recent.t.size(); ++i) v += recent.string_voltage[i] * static_cast<double>(recent.rounds[i]);
    EXPECT_NEAR(v / static_cast<double>(kept.size()), csv_voltage, 0.01);
    r.range = {};
    const auto week = q.Downsample(r);
    EXPECT_EQ(week.from_ms, times.front());
    EXPECT_EQ(rounds(week), static_cast<long>(times.size()));
    r.range = {kStart + kDay, kStart + kDay + 10 * kMin - 1};
    const auto narrow = q.Downsample(r);
    EXPECT_EQ(narrow.bucket_ms, kMin);
    EXPECT_EQ(rounds(narrow), 60);
    ASSERT_EQ(q.Devices().size(), 1u);
    EXPECT_EQ(q.Devices()[0].first_ms, times.front());

    // The report: the kept range as the CSV has it; the week whole.
    StringReport::Options kept_range;
    kept_range.from_ms = kept.front();
    const auto a = StringReport::Build(store.Reader(), path_, kept_range);
    ASSERT_EQ(a.devices.size(), 1u);
    EXPECT_EQ(a.devices[0].watch.rounds, static_cast<long>(kept.size()));
    const auto b = StringReport::Build(store.Reader(), path_, StringReport::Options{});
    ASSERT_EQ(b.devices.size(), 1u);
    EXPECT_EQ(b.devices[0].watch.rounds, static_cast<long>(times.size()));
    EXPECT_EQ(b.devices[0].watch.first_ms, times.front());
}

// The pruner's own thread over a run's file: converts it, then prunes.
TEST_F(Pruning, ItsThreadPrunesTheFileOfARun) {
    const int64_t now = TimeStamp::Now().Ms();
    Store(3, {now - 5 * kDay, now - 5 * kDay + 1000, now - 1000});
    Summarise(now);
    std::vector<std::string> said;
    std::mutex m;
    {
        HistoryPruner pruner(path_, 2, [&](const std::string& line) {
            std::lock_guard<std::mutex> lock(m);
            said.push_back(line);
        });
        test_support::Await([&] { return pruner.RowsDeleted() >= 2; });
        EXPECT_EQ(pruner.RowsDeleted(), 2);
    }
    EXPECT_EQ(Kept(3).size(), 1u);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("rewritten once"), std::string::npos) << said[0];
    SqlConnection db(path_, SqlConnection::Open::kReadOnly);
    EXPECT_TRUE(HistoryPruner::Incremental(db));
}

}  // namespace
