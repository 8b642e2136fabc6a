// A baseline kept from one period of a history and compared with in the
// next: each block's resistance seen through load steps, its float
// voltage, the string's temperature; and `bench-host baseline` itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "ChildProcess.h"
#include "basics/TimeStamp.h"
#include "history/BaselineStore.h"
#include "history/HistoryStore.h"
#include "history/HistorySummary.h"
#include "history/SqlConnection.h"
#include "report/StringBaseline.h"
#include "report/StringReport.h"
#include "unidata/Battery32_Data_t.h"

namespace {

namespace fs = std::filesystem;

ChildProcess::Result RunChild(const std::vector<std::string>& argv) {
    return ChildProcess::Run(argv, std::chrono::seconds(30));
}

constexpr int64_t kStart = 1796728620000;
// The second period follows the first after a pause.
constexpr int64_t kNext = 3 * 3600000;

// Two hours on float at 13.5 V a block, then six times a load of 10 A off
// float stepped to 30 A, in which every block sags by its resistance (block 11 by `block11_mohm`),
// a round every 10 s; block 4 floats 30 mV high.  from_a 0.3: the load is
// stepped to 30 A straight off float.
void StorePeriod(HistoryStore& store, int64_t start, double block11_mohm, double from_a = -10) {
    int64_t ms = start;
    auto save = [&](double amps) {
        Battery32_Data_t r{};
        r.data_id = 12;
        r.group_voltage = 0;
        for (int i = 0; i < 29; ++i) {
            const double mohm = i == 10 ? block11_mohm : 5.0;
            const double v = (i == 3 ? 13.53 : 13.5) + (amps - 0.3) * mohm / 1000.0;
            r.battery_value[i] = static_cast<float>(std::round(v * 100) / 100);
            r.group_voltage += r.battery_value[i];
        }
        r.group_current = static_cast<float>(amps);
        r.temperature = 25.0f;
        std::vector<uint8_t> img(sizeof r);
        std::memcpy(img.data(), &r, sizeof r);
        store.Writer().SaveRecord(12, img.data(), img.size(), TimeStamp::FromMs(ms));
        ms += 10000;
    };
    store.Writer().BeginRun({0, "", "", "/lib/a.so", 1, "ab", "", "0"}, TimeStamp::FromMs(start));
    for (int k = 0; k < 720; ++k) save(0.3);
    for (int k = 0; k < 6; ++k)
        for (const double a : {from_a, from_a, -30.0, -30.0, 0.3, 0.3}) save(a);
    save(0.3);
    store.Writer().EndRun(TimeStamp::FromMs(ms));
}

TEST(StringBaseline, KeptFromOnePeriodTheNextIsJudgedAgainstIt) {
    const std::string dir = ::testing::TempDir() + "/string_baseline_" + std::to_string(::getpid());
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = dir + "/history.sqlite";
    {
        HistoryStore store(path, HistoryStore::Access::kReadWrite);
        StorePeriod(store, kStart, 5.0);
        StorePeriod(store, kStart + kNext, 8.0);  // block 11 at 1.6 times
    }
    {
        // Summarised as a run summarises the minutes the clock passes
        // (these lie in the past).
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "DELETE FROM history_minutes_through", nullptr, nullptr, nullptr), SQLITE_OK);
        HistorySummary::Update(db, kStart + kNext + 3 * 3600000);
        sqlite3_close(db);
    }
    StringReport::Options first, second;
    first.to_ms = kStart + kNext - 600000;
    second.from_ms = kStart + kNext - 600000;
    {
        HistoryStore store(path, HistoryStore::Access::kReadOnly);
        const auto before = StringReport::Build(store.Reader(), path, second);
        ASSERT_EQ(before.verdicts.size(), 1u);
        EXPECT_EQ(before.verdicts[0].verdict.state, "attention") << "against its string only";
        const auto r = StringReport::Build(store.Reader(), path, first);
        ASSERT_EQ(r.verdicts.size(), 1u);
        const auto b = report::StringBaseline::From(r.verdicts[0], kStart, kStart + kNext - 600000, "2026-12-08T10:00",
                                                    "2026-12-09T10:00", kStart + kNext);
        ASSERT_EQ(b.resistance_mohm.size(), 29u);
        EXPECT_NEAR(*b.resistance_mohm[10], 5.0, 0.01);
        EXPECT_NEAR(*b.float_v[3], 13.53, 0.001);
        EXPECT_NEAR(*b.temperature_c, 25.0, 1e-6);
        EXPECT_FALSE(b.capacity_pct);
        EXPECT_NE(report::StringBaseline::Text(b).find("     11   13.500           5.00\n"), std::string::npos)
            << report::StringBaseline::Text(b);
    }
    // The command keeps the first period's figures and shows them back.
    const std::string bin = BENCH_HOST_BIN;
    const auto set = RunChild({bin, "baseline", "--db", path, "--to", TimeStamp::FromMs(kStart + kNext - 600000).Text(),
                               "--set"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_NE(set.out.find("device 12: baseline of the rounds"), std::string::npos) << set.out;
    const auto show = RunChild({bin, "baseline", "--db", path, "--show"});
    EXPECT_EQ(show.status, 0) << show.err;
    EXPECT_EQ(show.out, set.out);
    EXPECT_EQ(RunChild({bin, "baseline", "--db", path}).status, 2);
    EXPECT_EQ(RunChild({bin, "baseline", "--db", path, "--set", "--show"}).status, 2);

    HistoryStore store(path, HistoryStore::Access::kReadOnly);
    const auto after = StringReport::Build(store.Reader(), path, second);
    ASSERT_EQ(after.verdicts.size(), 1u);
    const auto& v = after.verdicts[0];
    ASSERT_TRUE(v.baseline);
    EXPECT_EQ(v.verdict.state, "act now");
    ASSERT_EQ(v.verdict.findings.size(), 1u) << "no other block is flagged";
    EXPECT_EQ(v.verdict.findings[0].text.rfind("block 11: resistance +60 % on its baseline of ", 0), 0u)
        << v.verdict.findings[0].text;
    const Json::Value json = after.ToJson()["devices"][0]["verdict"];
    EXPECT_EQ(json["state"].asString(), "act now");
    EXPECT_NEAR(json["resistance"]["blocks"][10]["rise_pct"].asDouble(), 60.0, 10.0);
    EXPECT_EQ(json["resistance"]["steps"].asInt(), 6);
    // Off float and back, but for the first, whose round on float lies in
    // a minute read as its summary.
    EXPECT_EQ(json["resistance"]["steps_on_charge"].asInt(), 11);
    EXPECT_TRUE(json["resistance"]["note"].isNull());
    EXPECT_NEAR(json["float"]["blocks"][3]["drift_mv"].asDouble(), 0.0, 0.5);
    EXPECT_NE(after.ToHtml().find("Device 12: <span style='color:#c62828'>act now</span>"), std::string::npos);
    EXPECT_NE(after.ToHtml().find("float drift in mV (temperature-compensated) 1:&nbsp;"), std::string::npos);

    // Load steps only off float: a baseline of float voltages, and why it
    // holds no resistance.
    const std::string off_float = dir + "/off-float.sqlite";
    {
        HistoryStore s(off_float, HistoryStore::Access::kReadWrite);
        StorePeriod(s, kStart, 5.0, 0.3);
    }
    const auto kept = RunChild({bin, "baseline", "--db", off_float, "--set"});
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_NE(kept.err.find("device 12: no resistance in the baseline: no load step within a discharge: 12 steps"),
              std::string::npos)
        << kept.err;
    fs::remove_all(dir);
}

// 70 s on float is not yet a settled float (float_settle_s, 3600 s by
// default): nothing is kept, and the refusal names the setting and the
// time it asks for, so that the person knows to wait or to set it.
TEST(StringBaseline, APeriodTooShortOnFloatNamesTheSettleTime) {
    const std::string dir = ::testing::TempDir() + "/short_float_" + std::to_string(::getpid());
    fs::create_directories(dir);
    const std::string path = dir + "/history.sqlite";
    {
        HistoryStore store(path, HistoryStore::Access::kReadWrite);
        store.Writer().BeginRun({0, "", "", "/lib/a.so", 1, "ab", "", "0"}, TimeStamp::FromMs(kStart));
        for (int k = 0; k < 8; ++k) {
            Battery32_Data_t r{};
            r.data_id = 12;
            for (int i = 0; i < 29; ++i) r.battery_value[i] = 13.5f;
            r.group_voltage = 29 * 13.5f;
            r.group_current = 0.3f;
            r.temperature = 25.0f;
            std::vector<uint8_t> img(sizeof r);
            std::memcpy(img.data(), &r, sizeof r);
            store.Writer().SaveRecord(12, img.data(), img.size(), TimeStamp::FromMs(kStart + k * 10000));
        }
        store.Writer().EndRun(TimeStamp::FromMs(kStart + 70000));
    }
    const auto set = RunChild({BENCH_HOST_BIN, "baseline", "--db", path, "--set"});
    EXPECT_EQ(set.status, 1) << set.err;
    EXPECT_NE(set.err.find("device 12: no round judged on float (on float 70 s in all, and only a string on float "
                           "for float_settle_s, 3600 s, is judged"),
              std::string::npos)
        << set.err;
    fs::remove_all(dir);
}

TEST(BaselineStore, ValuesPerBlockReadBackAsWritten) {
    struct Case {
        std::string text;
        std::size_t count;
        std::vector<std::optional<double>> first;
    } cases[] = {
        {"", 0, {}},
        {"13.5,,5.25", 3, {13.5, std::nullopt, 5.25}},
        {"x,1e3", 2, {std::nullopt, 1000.0}},
        {std::string(100, ','), BaselineStore::kMaxBlocks, {std::nullopt}},  // a damaged row: at most 32
    };
    for (const auto& c : cases) {
        const auto v = BaselineStore::Split(c.text);
        ASSERT_EQ(v.size(), c.count) << c.text;
        for (std::size_t i = 0; i < c.first.size(); ++i) EXPECT_EQ(v[i], c.first[i]) << c.text;
        if (c.count < BaselineStore::kMaxBlocks) {
            EXPECT_EQ(BaselineStore::Split(BaselineStore::Join(v)), v);
        }
    }
}

}  // namespace
