// The web page's server side: metrics text, snapshot JSON, the history
// queries over SQLite, query parameters, and the server itself over HTTP.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <json/json.h>
#include <sqlite3.h>

#include "CannedSnapshot.h"
#include "HttpProbe.h"
#include "web/HttpText.h"
#include "web/HistoryRequest.h"
#include "history/HistoryStore.h"
#include "history/HistorySummary.h"
#include "web/MetricsFormat.h"
#include "web/SnapshotHub.h"
#include "web/SqliteHistoryQuery.h"
#include "basics/TimeStamp.h"
#include "web/WebAssets.h"
#include "web/WebServer.h"
#include "unidata/Battery32_Data_t.h"
#include "tests/support/Await.h"

namespace {

Json::Value Parse(const std::string& text) {
    Json::Value v;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errors)) << errors << "\n" << text;
    return v;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(MetricsFormat, SamplesOfEveryKindWithTheirLabels) {
    auto site = canned::Site();
    // A mean of the run clock's milliseconds, as a division leaves it.
    site.devices[1].poll_interval_seconds = 1.0000726928011696;
    site.ports[1].outage_seconds = 75.50000000000001;
    site.ports.push_back({"/dev/pts/9\r\x1b[2J", true, 0, 0.0});
    // Just below the replace threshold, as the bench judges it.
    site.devices[1].capacity = site.devices[0].capacity;
    site.devices[1].capacity->pct = 79.95;
    // Device 13, silent, with a cell alarm and a temperature alarm standing.
    site.devices[1].cells[5].in_alarm = true;
    site.devices[1].temperature.in_alarm = true;
    // Device 17's monitor marked cell 4 and the temperature invalid: no
    // sample for them, as for a stale value, never NaN or 0.
    site.devices[5].cells[3].value = std::nanf("");
    site.devices[5].temperature.value = std::nanf("");
    const std::string text = MetricsFormat::Render(site, site.now_ms);
    const auto lines = Lines(text);
    const std::set<std::string> have(lines.begin(), lines.end());
    EXPECT_EQ(text.find(R"(bench_host_cell_volts{device="17",cell="4"})"), std::string::npos);
    EXPECT_EQ(text.find(R"(bench_host_temperature_celsius{device="17"})"), std::string::npos);
    EXPECT_EQ(text.find("NaN"), std::string::npos);
    EXPECT_NE(text.find(R"(bench_host_string_volts{device="17"} )"), std::string::npos) << "the values read stay";
    for (const char* expected : {
             R"(bench_host_cell_volts{device="17",cell="5"} 13.05)",
             R"(bench_host_cell_volts{device="12",cell="6"} 11.50)",
             R"(bench_host_cell_volts{device="17",cell="29"} 13.29)",
             R"(bench_host_cell_alarm{device="12",cell="6"} 1)",
             R"(bench_host_cell_alarm{device="12",cell="5"} 0)",
             R"(bench_host_cell_limit_volts{device="12",cell="1",bound="low"} 12.00)",
             R"(bench_host_cell_limit_volts{device="15",cell="29",bound="high"} 14.40)",
             R"(bench_host_string_volts{device="12"} 53.6)",
             R"(bench_host_string_current_amperes{device="12"} -1.25)",
             R"(bench_host_temperature_celsius{device="12"} 24.5)",
             R"(bench_host_device_health{device="13",state="not answering"} 1)",
             R"(bench_host_device_health{device="13",state="answering"} 0)",
             R"(bench_host_device_health{device="14",state="port lost"} 1)",
             R"(bench_host_device_health{device="16",state="never answered"} 1)",
             R"(bench_host_values_age_seconds{device="12"} 0.8)",
             R"(bench_host_values_age_seconds{device="15"} 120)",
             R"(bench_host_cycles_total{device="16"} 30)",
             R"(bench_host_rounds_total{device="12"} 990)",
             R"(bench_host_exchange_failures_total{device="12",reason="timeout"} 7)",
             R"(bench_host_exchange_failures_total{device="12",reason="start byte"} 0)",
             R"(bench_host_cycles_abandoned_total{device="12"} 4)",
             R"(bench_host_cycles_missed_total{device="12"} 6)",
             R"(bench_host_resends_total{device="12"} 11)",
             R"(bench_host_late_polls_total{device="12"} 1)",
             R"(bench_host_poll_interval_seconds{device="12"} 2)",
             R"(bench_host_alarms_not_stored_total{device="12"} 0)",
             R"(bench_host_value_alarm{device="12",value="string_voltage"} 0)",
             R"(bench_host_value_alarm{device="12",value="temperature"} 0)",
             R"(bench_host_string_limit_volts{device="12",bound="low"} 48.0)",
             R"(bench_host_string_limit_volts{device="12",bound="high"} 58.0)",
             R"(bench_host_temperature_limit_celsius{device="13",bound="high"} 40.0)",
             R"(bench_host_last_round_timestamp_seconds{device="12"} 1796720222.45)",
             R"(bench_host_charge_state{device="12",state="discharge"} 1)",
             R"(bench_host_charge_state{device="12",state="float"} 0)",
             R"(bench_host_charge_state{device="17",state="float"} 1)",
             R"(bench_host_time_remaining_seconds{device="12",method="weakest block"} 5004)",
             R"(bench_host_cell_float_alarm{device="12",cell="6"} 1)",
             R"(bench_host_cell_float_alarm{device="12",cell="5"} 0)",
             R"(bench_host_string_float_alarm{device="12"} 0)",
             R"(bench_host_cell_float_deviation_volts{device="17",cell="6"} 0.18)",
             R"(bench_host_cell_float_deviation_volts{device="17",cell="5"} -0.015)",
             R"(bench_host_cell_resistance_rise_percent{device="17",cell="11"} 61.2)",
             R"(bench_host_capacity_percent{device="12",source="test"} 78.44)",
             R"(bench_host_capacity_timestamp_seconds{device="12",source="test"} 1796719623.25)",
             R"(bench_host_capacity_lower_bound{device="12",source="test"} 0)",
             R"(bench_host_capacity_percent{device="17",source="baseline"} 92)",
             R"(bench_host_capacity_timestamp_seconds{device="17",source="baseline"} 1780300000)",
             R"(bench_host_cell_float_drift_volts{device="17",cell="6"} 0.0623)",
             R"(bench_host_cell_float_drift_volts{device="17",cell="5"} -0.0021)",
             R"(bench_host_float_alarms_held{device="12"} 1)",
             R"(bench_host_float_alarms_held{device="17"} 0)",
             R"(bench_host_port_up{port="/dev/pts/14"} 0)",
             R"(bench_host_port_outages_total{port="/dev/pts/14"} 2)",
             R"(bench_host_port_outage_seconds_total{port="/dev/pts/14"} 75.5)",
             // A byte that is not UTF-8 would make Prometheus drop the page.
             "bench_host_port_up{port=\"/dev/serial/by-id/usb-\xEF\xBF\xBD\"} 1",
             R"(bench_host_build_info{version="0.9.0",plugin_sha256="aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"} 1)",
             R"(bench_host_run_start_timestamp_seconds 1796716623.25)",
             R"(bench_host_clock_steps_total 1)",
             R"(bench_host_records_stored_total{device="12"} 990)",
             R"(bench_host_records_not_stored_total{device="12"} 2)",
             // Label values escaped: backslash, quote, line feed; UTF-8 as is.
             R"(bench_host_device_info{device="12",name="<img src=x onerror=alert(1)> \"A\\B\"\n第1组",)"
             R"(type="upsbattery_29",port="/dev/pts/12",addr="5"} 1)",
             // At their resolution; a control character written out.
             R"(bench_host_poll_interval_seconds{device="13"} 1)",
             R"(bench_host_port_outage_seconds_total{port="/dev/pts/14"} 75.5)",
             R"(bench_host_port_up{port="/dev/pts/9\\r\\x1b[2J"} 1)",
             R"(bench_host_capacity_percent{device="13",source="test"} 79.95)",
         }) {
        EXPECT_TRUE(have.count(expected)) << "missing: " << expected;
    }
    // A device that is not answering has no values to show, only its state.
    for (const char* device : {"13", "14", "15", "16"}) {
        for (const char* family : {"bench_host_cell_volts", "bench_host_string_volts", "bench_host_charge_state",
                                   "bench_host_float_alarms_held", "bench_host_cell_float_deviation_volts",
                                   "bench_host_cell_resistance_rise_percent", "bench_host_cell_float_drift_volts",
                                   "bench_host_string_current_amperes", "bench_host_temperature_celsius"}) {
            EXPECT_EQ(text.find(std::string(family) + "{device=\"" + device + "\""), std::string::npos)
                << family << " of device " << device;
        }
    }
    // Its alarms are states, held at the last state read however long it
    // is silent (an alert on a vanished gauge would resolve in time); one
    // that never answered has none.
    for (const char* held : {R"(bench_host_cell_alarm{device="13",cell="6"} 1)",
                             R"(bench_host_cell_alarm{device="13",cell="5"} 0)",
                             R"(bench_host_value_alarm{device="13",value="temperature"} 1)",
                             R"(bench_host_value_alarm{device="14",value="temperature"} 0)",
                             R"(bench_host_cell_float_alarm{device="15",cell="6"} 0)",
                             R"(bench_host_string_float_alarm{device="15"} 0)"})
        EXPECT_TRUE(have.count(held)) << "missing: " << held;
    for (const char* family : {"bench_host_cell_alarm", "bench_host_value_alarm", "bench_host_cell_float_alarm",
                               "bench_host_string_float_alarm"})
        EXPECT_EQ(text.find(std::string(family) + "{device=\"16\""), std::string::npos) << family;
    EXPECT_EQ(text.find("bench_host_values_age_seconds{device=\"16\"}"), std::string::npos);
    // A capacity only from a test or a baseline.
    EXPECT_EQ(text.find("bench_host_capacity_percent{device=\"16\""), std::string::npos);
    // Time remaining only while discharging.
    EXPECT_EQ(text.find("bench_host_time_remaining_seconds{device=\"17\""), std::string::npos);
    // A float deviation only where the round was judged on float.
    EXPECT_EQ(text.find("bench_host_cell_float_deviation_volts{device=\"12\""), std::string::npos);
}

TEST(MetricsFormat, AgesCountToTheScrapeNotToThePublication) {
    const auto site = canned::Site();
    const struct {
        int64_t scrape_after_ms;  // of the snapshot's publication
        const char* age;          // of device 12's values, published 0.8 s old
    } cases[] = {
        {0, "0.8"},
        {5000, "5.8"},       // no publication since: the age still grows
        {-60000, "0"},       // the wall clock set back since: never negative
    };
    for (const auto& c : cases) {
        const std::string text = MetricsFormat::Render(site, site.now_ms + c.scrape_after_ms);
        EXPECT_NE(text.find(std::string("bench_host_values_age_seconds{device=\"12\"} ") + c.age + "\n"),
                  std::string::npos)
            << c.scrape_after_ms;
    }
}

TEST(MetricsFormat, OneHelpAndTypePerFamilyBeforeItsSamples) {
    const auto lines = Lines(MetricsFormat::Render(canned::Site(), canned::Site().now_ms));
    std::map<std::string, std::string> types;
    std::set<std::string> helps;
    std::string current;
    for (const auto& line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(# HELP (\w+) .+)"))) {
            EXPECT_TRUE(helps.insert(m[1]).second) << "second HELP: " << line;
            current = m[1];
        } else if (std::regex_match(line, m, std::regex(R"(# TYPE (\w+) (gauge|counter))"))) {
            EXPECT_EQ(m[1], current);
            EXPECT_TRUE(types.emplace(m[1], m[2]).second) << "second TYPE: " << line;
            // Counters and only counters end in _total.
            EXPECT_EQ(m[2] == "counter", std::regex_search(m[1].str(), std::regex("_total$"))) << line;
        } else {
            ASSERT_TRUE(std::regex_match(line, m, std::regex(R"((\w+)(\{[^}]*\})? \S+)"))) << line;
            EXPECT_EQ(m[1], current) << line;
        }
    }
    EXPECT_GE(types.size(), 30u);
}

TEST(LiveSnapshot, JsonCarriesTextsExactlyAndGapsAsNull) {
    auto site = canned::Site();
    site.devices[0].temperature.value = std::nanf("");
    site.devices[4].poll_interval_seconds = 0.0;  // fewer than two cycles
    site.devices[0].current.value = -19.999998f;     // a scaled reading's residue
    site.devices[0].cells[0].value = 1.5200019f;
    const std::string text = site.ToJson(7);
    // Values at their resolution, as every output prints them.
    EXPECT_NE(text.find(R"("current":{"value":-20.0,)"), std::string::npos) << text.substr(0, 2000);
    EXPECT_NE(text.find(R"({"label":"第1节电池","value":1.52,)"), std::string::npos);
    const Json::Value v = Parse(text);
    EXPECT_EQ(v["version"].asUInt64(), 7u);
    const Json::Value& d12 = v["devices"][0];
    EXPECT_EQ(d12["name"].asString(), canned::kTrickyName);
    EXPECT_EQ(d12["cells"].size(), 29u);
    EXPECT_EQ(d12["cells"][5]["label"].asString(), "第6节电池");
    EXPECT_TRUE(d12["cells"][5]["alarm"].asBool());
    EXPECT_FLOAT_EQ(d12["cells"][5]["value"].asFloat(), canned::kAlarmCellValue);
    EXPECT_TRUE(d12["temperature"]["value"].isNull());
    EXPECT_TRUE(d12["current"]["low"].isNull());
    EXPECT_EQ(d12["failures"]["checksum"].asUInt64(), 3u);
    const Json::Value& d16 = v["devices"][4];
    EXPECT_EQ(d16["health"].asString(), "never answered");
    EXPECT_TRUE(d16["values_at_ms"].isNull());
    // Never read: null, not 0.
    ASSERT_GT(d16["cells"].size(), 0u);
    EXPECT_TRUE(d16["cells"][0]["value"].isNull());
    for (const char* value : {"string_voltage", "current", "temperature"}) EXPECT_TRUE(d16[value]["value"].isNull());
    EXPECT_FALSE(d12["string_voltage"]["value"].isNull());
    EXPECT_TRUE(d16["poll_interval_seconds"].isNull());
    EXPECT_DOUBLE_EQ(d12["poll_interval_seconds"].asDouble(), 2.0);
    EXPECT_EQ(d12["charge_state"].asString(), "discharge");
    EXPECT_EQ(d12["time_remaining_s"].asDouble(), 5004.0);
    EXPECT_EQ(d12["time_remaining_method"].asString(), "weakest block");
    // What its Peukert figure stands on.
    EXPECT_EQ(d12["time_remaining_basis"]["capacity_pct"].asDouble(), 84.7);
    EXPECT_EQ(d12["time_remaining_basis"]["capacity_from"].asString(), "baseline");
    EXPECT_EQ(d12["time_remaining_basis"]["kt"].asDouble(), 0.93);
    EXPECT_EQ(v["devices"][5]["charge_state"].asString(), "float");
    // Not discharging, or never read: null, never a 0 that reads as empty.
    for (const char* key : {"time_remaining_s", "time_remaining_method", "time_remaining_basis"})
        EXPECT_TRUE(v["devices"][5][key].isNull()) << key;
    EXPECT_TRUE(d16["charge_state"].isNull());
    EXPECT_EQ(d12["capacity"]["source"].asString(), "test");
    EXPECT_EQ(d12["capacity"]["baseline_date"].asString(), "2026-06-01");
    EXPECT_EQ(v["devices"][5]["capacity"]["source"].asString(), "baseline");
    EXPECT_TRUE(d16["capacity"].isNull());
    // Against the baseline: figures with their flags, null while unknown.
    const Json::Value& d17 = v["devices"][5];
    EXPECT_EQ(d17["baseline_date"].asString(), "2026-06-01");
    EXPECT_DOUBLE_EQ(d17["cells"][5]["float_drift_mv"].asDouble(), 62.3);
    EXPECT_EQ(d17["cells"][5]["float_drift_flag"].asString(), "high");
    EXPECT_DOUBLE_EQ(d17["cells"][10]["resistance_rise_pct"].asDouble(), 61.2);
    EXPECT_EQ(d17["cells"][10]["resistance_flag"].asString(), "act");
    for (const char* key : {"float_drift_mv", "resistance_rise_pct"}) EXPECT_TRUE(d17["cells"][0][key].isNull()) << key;
    EXPECT_TRUE(d16["baseline_date"].isNull());
    EXPECT_EQ(v["alarms"][1]["state"].asString(), "cleared");
    EXPECT_EQ(v["ports"][2]["path"].asString(), "/dev/serial/by-id/usb-\xEF\xBF\xBD");
}

TEST(HistoryRequest, RefusesWhatItCannotUseWithAReason) {
    using E = HistoryRequest::Endpoint;
    const struct {
        std::multimap<std::string, std::string> params;
        E endpoint;
        const char* error;  // nullptr: accepted
    } cases[] = {
        {{{"device", "12"}}, E::kSeries, nullptr},
        {{{"device", "12"}, {"from", "0"}, {"to", "1000"}, {"points", "10000"}, {"cell", "29"}}, E::kSeries, nullptr},
        {{{"device", "12"}, {"cells", "32"}, {"cell", "32"}}, E::kSeries, nullptr},
        {{}, E::kAlarms, nullptr},
        {{}, E::kSeries, "device is required"},
        {{{"device", "x12"}}, E::kSeries, "not a whole number"},
        {{{"device", "12 "}}, E::kSeries, "not a whole number"},
        {{{"device", "-1"}}, E::kSeries, "must lie in"},
        {{{"device", "4294967296"}}, E::kSeries, "must lie in"},
        {{{"device", "12"}, {"from", "99999999999999999999"}}, E::kSeries, "not a whole number"},
        {{{"device", "12"}, {"from", "2000"}, {"to", "1000"}}, E::kSeries, "from is after to"},
        {{{"device", "12"}, {"points", "0"}}, E::kSeries, "points must lie in"},
        {{{"device", "12"}, {"cell", "30"}}, E::kSeries, "cell must lie in 1..29"},
        {{{"device", "12"}, {"cells", "33"}}, E::kSeries, "cells must lie in"},
        {{{"device", "12"}, {"device", "13"}}, E::kSeries, "more than once"},
        {{{"device", "12"}, {"limit", "5"}}, E::kSeries, "unknown parameter limit"},
        {{{"points", "5"}}, E::kAlarms, "unknown parameter points"},
        {{{"limit", "0"}}, E::kAlarms, "limit must lie in"},
    };
    for (const auto& c : cases) {
        std::string error;
        try {
            HistoryRequest::Parse(c.params, c.endpoint);
        } catch (const HistoryRequest::Error& e) {
            error = e.what();
        }
        if (c.error) {
            EXPECT_NE(error.find(c.error), std::string::npos) << "got \"" << error << "\", want " << c.error;
        } else {
            EXPECT_EQ(error, "");
        }
    }
}

TEST(WebServer, ListenAddressesAndWhenToWarn) {
    const struct {
        const char* text;
        const char* host;  // nullptr: refused
        int port;
        bool loopback;
    } cases[] = {
        {"8080", "127.0.0.1", 8080, true},
        {"0", "127.0.0.1", 0, true},
        {"0.0.0.0:9000", "0.0.0.0", 9000, false},
        {"192.168.1.5:80", "192.168.1.5", 80, false},
        {"localhost:8080", "localhost", 8080, true},
        {"[::1]:8080", "::1", 8080, true},
        {"[::]:8080", "::", 8080, false},
        {"::1:8080", nullptr, 0, false},
        {"65536", nullptr, 0, false},
        {"http", nullptr, 0, false},
        {":8080", nullptr, 0, false},
        {"", nullptr, 0, false},
    };
    for (const auto& c : cases) {
        try {
            const auto [host, port] = WebServer::ParseListen(c.text);
            ASSERT_TRUE(c.host) << c.text << " accepted";
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
            EXPECT_EQ(WebServer::IsLoopback(host), c.loopback) << c.text;
        } catch (const std::invalid_argument&) {
            EXPECT_FALSE(c.host) << c.text << " refused";
        }
    }
}

// A history file with the run's schema: device 12 has a round a second for
// 100 s (cell i of round k reads i + k/100, cell 3 lowest), device 13 ten,
// device 14 six hundred (ten minutes), where cell 3 dips to 0.5 in round
// 450 and cell 7 peaks at 99 in round 451.
class HistoryFile : public ::testing::Test {
protected:
    static constexpr int64_t kStart = 1796720000000;

    void SetUp() override {
        path_ = (std::filesystem::temp_directory_path() /
                 ("web-history-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".sqlite"))
                    .string();
        std::filesystem::remove(path_);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        Exec(db,
             "CREATE TABLE history(device_id INTEGER, saved_at TEXT, record BLOB, saved_ms INTEGER);"
             "CREATE INDEX history_device_time ON history(device_id, saved_ms);"
             "CREATE TABLE alarms(device_id INTEGER, at TEXT, name TEXT, label TEXT, state TEXT, bound TEXT, "
             "value REAL, limit_value REAL, at_ms INTEGER);"
             "BEGIN");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO history VALUES(?1, 'text', ?2, ?3)", -1, &insert, nullptr);
        for (const auto& [device, rounds] : {std::pair<int, int>{12, 100}, {13, 10}, {14, 600}}) {
            for (int k = 0; k < rounds; ++k) {
                Battery32_Data_t r{};
                r.data_id = static_cast<uint32_t>(device);
                for (int i = 0; i < 32; ++i) r.battery_value[i] = static_cast<float>(i + 1) + k / 100.0f;
                r.battery_value[2] = 1.0f;
                if (device == 14 && k == 450) r.battery_value[2] = 0.5f;
                if (device == 14 && k == 451) r.battery_value[6] = 99.0f;
                r.group_voltage = 50.0f + k;
                r.group_current = -2.0f;
                r.temperature = 25.0f;
                sqlite3_bind_int(insert, 1, device);
                sqlite3_bind_blob(insert, 2, &r, sizeof r, SQLITE_TRANSIENT);
                sqlite3_bind_int64(insert, 3, kStart + 1000 * k);
                sqlite3_step(insert);
                sqlite3_reset(insert);
            }
        }
        sqlite3_finalize(insert);
        Exec(db,
             "INSERT INTO alarms VALUES(12, 'a', 'battery_2_value', '第3节电池', 'raised', 'low', 1.0, 12.0, "
             "1796720010000);"
             "INSERT INTO alarms VALUES(13, 'b', 'temperature', '温度', 'raised', 'high', 45.0, 40.0, 1796720020000);"
             "INSERT INTO alarms VALUES(12, 'c', 'battery_2_value', '第3节电池', 'cleared', 'low', 12.5, 12.0, "
             "1796720030000);"
             "COMMIT");
        sqlite3_close(db);
    }
    void TearDown() override { std::filesystem::remove(path_); }

    static void Exec(sqlite3* db, const char* sql) {
        char* error = nullptr;
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << error;
    }

    // A series reduced to its totals, which do not depend on where its
    // buckets begin: rounds, round-weighted sums of the means, extremes.
    struct Overall {
        int64_t bucket_ms;
        uint64_t rounds = 0;
        double voltage = 0, cell = 0, mean = 0, low = 1e9, high = -1e9;

        static Overall Of(const HistoryQuery::Series& s) {
            Overall o{s.bucket_ms};
            for (std::size_t i = 0; i < s.t.size(); ++i) {
                o.rounds += s.rounds[i];
                o.voltage += s.string_voltage[i] * s.rounds[i];
                if (!s.cell.empty()) o.cell += s.cell[i] * s.rounds[i];
                o.mean += s.cell_mean[i] * s.rounds[i];
                o.low = std::min(o.low, s.cell_min[i]);
                o.high = std::max(o.high, s.cell_max[i]);
            }
            return o;
        }
        void ExpectSameValues(const Overall& raw) const {
            EXPECT_EQ(rounds, raw.rounds);
            EXPECT_NEAR(voltage, raw.voltage, 1e-6 * std::abs(raw.voltage));
            EXPECT_NEAR(cell, raw.cell, 1e-6 * std::abs(raw.cell));
            EXPECT_NEAR(mean, raw.mean, 1e-6 * std::abs(raw.mean));
            EXPECT_DOUBLE_EQ(low, raw.low);
            EXPECT_DOUBLE_EQ(high, raw.high);
        }
    };

    std::string path_;
};

TEST_F(HistoryFile, DownsamplesInBucketsOfTheRange) {
    SqliteHistoryQuery q(path_);
    HistoryQuery::SeriesRequest r;
    r.device = 12;
    r.points = 10;
    r.cell = 4;
    const auto s = q.Downsample(r);
    EXPECT_EQ(s.from_ms, kStart);
    EXPECT_EQ(s.to_ms, kStart + 99000);
    EXPECT_EQ(s.bucket_ms, 9901);  // 99001 ms in 10 buckets, rounded up
    ASSERT_EQ(s.t.size(), 10u);
    // The first bucket holds rounds 0..9 (at 0..9 s): means of their values.
    EXPECT_EQ(s.t[0], kStart);
    EXPECT_EQ(s.rounds[0], 10u);
    EXPECT_NEAR(s.string_voltage[0], 54.5, 1e-9);
    EXPECT_NEAR(s.current[0], -2.0, 1e-9);
    EXPECT_NEAR(s.cell_min[0], 1.0, 1e-6);          // cell 3, held low
    EXPECT_NEAR(s.cell_max[9], 29.99, 1e-5);         // only the model's 29 cells count
    EXPECT_NEAR(s.cell[0], 4.045, 1e-5);
    uint64_t rounds = 0;
    for (auto n : s.rounds) rounds += n;
    EXPECT_EQ(rounds, 100u);

    r.range = {kStart + 50000, kStart + 59999};
    r.cell.reset();
    r.points = 2000;
    const auto part = q.Downsample(r);
    EXPECT_EQ(part.bucket_ms, 5);
    ASSERT_EQ(part.t.size(), 10u);
    EXPECT_EQ(part.t.front(), kStart + 50000);
    EXPECT_TRUE(part.cell.empty());

    r.device = 99;
    EXPECT_TRUE(q.Downsample(r).t.empty());
}

TEST_F(HistoryFile, DevicesAndAlarmsInTheirRange) {
    SqliteHistoryQuery q(path_);
    const auto devices = q.Devices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].device, 12u);
    EXPECT_EQ(devices[0].last_ms, kStart + 99000);
    EXPECT_EQ(devices[1].device, 13u);
    EXPECT_EQ(devices[1].last_ms, kStart + 9000);

    EXPECT_EQ(q.Alarms(std::nullopt, {}, 10).size(), 3u);
    const auto of12 = q.Alarms(12u, {}, 10);
    ASSERT_EQ(of12.size(), 2u);
    EXPECT_EQ(of12[0].label, "第3节电池");
    EXPECT_EQ(of12[1].state, "cleared");
    EXPECT_EQ(q.Alarms(std::nullopt, {1796720015000, 1796720025000}, 10).at(0).device_id, 13u);
    EXPECT_EQ(q.Alarms(std::nullopt, {}, 1).size(), 1u);
}

// The same range read from the rounds alone, then with the minutes before
// a point summarised, then all of them: the same values overall, the
// extremes inside summarised minutes kept.
TEST_F(HistoryFile, MinutesSummarisedGiveTheValuesOfTheirRounds) {
    HistoryQuery::SeriesRequest r;
    r.device = 14;
    r.points = 3;
    r.cell = 7;
    r.range = {kStart + 10000, kStart + 589999};  // rounds 10..589: part minutes at both ends
    const auto overall = [&] { return Overall::Of(SqliteHistoryQuery(path_).Downsample(r)); };
    const Overall raw = overall();
    EXPECT_EQ(raw.bucket_ms, 193334);
    EXPECT_EQ(raw.rounds, 580u);
    EXPECT_DOUBLE_EQ(raw.low, 0.5);
    EXPECT_DOUBLE_EQ(raw.high, 99.0);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    HistorySummary::Create(db);
    for (const int64_t now : {kStart + 300000, kStart + 700000}) {
        HistorySummary::Update(db, now);
        const Overall sum = overall();
        EXPECT_EQ(sum.bucket_ms, 240000) << "minutes summarised: buckets of whole minutes";
        sum.ExpectSameValues(raw);
    }
    sqlite3_close(db);
}

TEST_F(HistoryFile, AskedForNPointsGivesNoMoreThanN) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    HistorySummary::Create(db);
    HistorySummary::Update(db, kStart + 700000);
    sqlite3_close(db);
    // Device 14 has a round a second: every bucket of the range has rounds,
    // so the points are the buckets.  Ranges that begin and end inside a
    // minute, so the buckets laid on whole minutes overhang the range.
    const std::pair<int64_t, int64_t> ranges[] = {
        {kStart + 10000, kStart + 589999}, {kStart + 1, kStart + 599000}, {kStart + 59000, kStart + 421000}};
    for (const auto& [from, to] : ranges) {
        for (const std::size_t points : {1u, 2u, 3u, 4u, 5u, 7u, 9u, 10u}) {
            HistoryQuery::SeriesRequest r;
            r.device = 14;
            r.points = points;
            r.range = {from, to};
            const auto s = SqliteHistoryQuery(path_).Downsample(r);
            EXPECT_LE(s.t.size(), points) << from - kStart << ".." << to - kStart << " in buckets of " << s.bucket_ms;
            EXPECT_EQ(Overall::Of(s).rounds, static_cast<uint64_t>((to - kStart) / 1000 - (from - kStart + 999) / 1000 + 1))
                << from - kStart << ".." << to - kStart << ", " << points << " points";
        }
    }
}

// A file with rounds over hours from before the summary: its past is
// summarised a few minutes a step, hours without rounds skipped, and every
// step answers as the rounds alone do, until no round is older.  A file
// whose rounds all come after the summary's start has nothing to do.
TEST_F(HistoryFile, ThePastIsSummarisedStepByStepAnsweringAsTheRounds) {
    constexpr int64_t kMinute = HistorySummary::kMinuteMs, kHour = 60 * kMinute;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO history VALUES(12, 'text', ?1, ?2)", -1, &insert, nullptr);
    for (int h = 1; h <= 4; ++h) {
        for (int k = 0; k < 6; ++k) {  // 100 s of rounds each hour, across a minute's end
            Battery32_Data_t r{};
            for (int i = 0; i < 32; ++i) r.battery_value[i] = static_cast<float>(i + h + k);
            if (h == 3 && k == 4) r.battery_value[5] = 0.25f;
            r.group_voltage = 40.0f + h * k;
            sqlite3_bind_blob(insert, 1, &r, sizeof r, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 2, kStart + h * kHour + 20000 * k);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
    }
    sqlite3_finalize(insert);

    const int64_t first_minute = kStart / kMinute * kMinute;
    constexpr int kMinutes = 5 * 60;
    std::vector<HistoryQuery::SeriesRequest> requests(3);
    requests[0].device = 12;  // the whole file in a few buckets
    requests[0].points = 3;
    requests[0].cell = 4;
    requests[1].device = 12;  // a minute a bucket, compared bucket by bucket
    requests[1].points = kMinutes;
    requests[1].range = {first_minute, first_minute + kMinutes * kMinute - 1};
    requests[2].device = 14;  // part minutes at both ends
    requests[2].points = 3;
    requests[2].cell = 7;
    requests[2].range = {kStart + 10000, kStart + 589999};
    std::vector<HistoryQuery::Series> raw;
    for (const auto& r : requests) raw.push_back(SqliteHistoryQuery(path_).Downsample(r));
    ASSERT_EQ(raw[1].bucket_ms, kMinute);
    const auto expect_as_raw = [&](const std::string& when) {
        SCOPED_TRACE(when);
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const auto s = SqliteHistoryQuery(path_).Downsample(requests[i]);
            Overall::Of(s).ExpectSameValues(Overall::Of(raw[i]));
        }
        const auto minutes = SqliteHistoryQuery(path_).Downsample(requests[1]);
        EXPECT_EQ(minutes.t, raw[1].t);
        EXPECT_EQ(minutes.rounds, raw[1].rounds);
        EXPECT_EQ(minutes.cell_min, raw[1].cell_min);
        EXPECT_EQ(minutes.cell_max, raw[1].cell_max);
    };

    const struct {
        int64_t summary_from_ms;
        int steps;  // that summarise something
    } cases[] = {
        {kStart + 5 * kHour, 6},  // hours 4, 3, 2, 1, then the first 11 minutes in two
        {kStart - kHour, 0},
    };
    for (const auto& c : cases) {
        HistorySummary::CreateFrom(db, c.summary_from_ms);
        HistorySummary::Update(db, c.summary_from_ms + 3 * kMinute);
        int steps = 0;
        expect_as_raw("from the rounds before the summary");
        while (HistorySummary::Backfill(db, 7) && steps < 100) expect_as_raw("step " + std::to_string(++steps));
        EXPECT_EQ(steps, c.steps);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT count(*) FROM history_minutes_since", -1, &st, nullptr);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(st, 0), 0) << "summarised from its first round";
        sqlite3_finalize(st);
        EXPECT_FALSE(HistorySummary::Backfill(db, 7));
        expect_as_raw("all summarised");
    }
    sqlite3_close(db);
}

// A run's history keeps its summary as minutes end and at the end of the
// run.  A file with rounds from before the summary is summarised from the
// run's start on (summarising its past would stall the start); its earlier
// rounds are still read, from the history.
TEST_F(HistoryFile, TheStoreSummarisesTheFilesItStarts) {
    HistoryQuery::SeriesRequest week;
    week.device = 14;
    week.points = 3;
    const auto before = SqliteHistoryQuery(path_).Downsample(week);
    {
        HistoryStore old(path_, HistoryStore::Access::kReadWrite);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    EXPECT_TRUE(HistorySummary::Present(db));
    sqlite3_close(db);
    const auto after = SqliteHistoryQuery(path_).Downsample(week);
    EXPECT_EQ(after.bucket_ms, before.bucket_ms) << "no minute of the past is taken from the summary";
    EXPECT_EQ(after.rounds, before.rounds);
    EXPECT_EQ(after.cell_min, before.cell_min);
    {
        // Its past is summarised a minute a second as rounds are stored.
        HistoryStore old(path_, HistoryStore::Access::kReadWrite);
        Battery32_Data_t r{};
        r.data_id = 12;
        for (int k = 0; k < 20; ++k)
            old.Writer().SaveRecord(12, reinterpret_cast<const uint8_t*>(&r), sizeof r,
                           TimeStamp::FromMs(TimeStamp::Now().Ms() + 1000 * k));
    }
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT (SELECT count(*) FROM history_minutes_since), "
                       "(SELECT sum(rounds) FROM history_minutes WHERE device_id = 14)",
                       -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 0);
    EXPECT_EQ(sqlite3_column_int(st, 1), 600);
    sqlite3_finalize(st);
    sqlite3_close(db);

    const std::string fresh = path_ + ".new";
    std::filesystem::remove(fresh);
    // Minutes after now, so every round lands after the summary's start.
    const int64_t base = (TimeStamp::Now().Ms() / HistorySummary::kMinuteMs + 2) * HistorySummary::kMinuteMs;
    constexpr int kRounds = 16;  // one every 10 s: three minutes, the last one partial
    {
        HistoryStore store(fresh, HistoryStore::Access::kReadWrite);
        store.Writer().BeginRun({}, TimeStamp::FromMs(base));
        for (int k = 0; k < kRounds; ++k) {
            Battery32_Data_t r{};
            r.data_id = 12;
            r.group_voltage = 50.0f + static_cast<float>(k);
            store.Writer().SaveRecord(12, reinterpret_cast<const uint8_t*>(&r), sizeof r, TimeStamp::FromMs(base + 10000 * k));
        }
        store.Writer().EndRun(TimeStamp::FromMs(base + 10000 * (kRounds - 1)));
    }
    ASSERT_EQ(sqlite3_open(fresh.c_str(), &db), SQLITE_OK);
    sqlite3_prepare_v2(db, "SELECT count(*), sum(rounds), sum(voltage_sum) FROM history_minutes", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 3);
    EXPECT_EQ(sqlite3_column_int(st, 1), kRounds);
    EXPECT_DOUBLE_EQ(sqlite3_column_double(st, 2), kRounds * 50.0 + kRounds * (kRounds - 1) / 2.0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    std::filesystem::remove(fresh);
    std::filesystem::remove(fresh + "-wal");
    std::filesystem::remove(fresh + "-shm");
}

TEST(SqliteHistoryQuery, RefusesAFileThatIsNoHistory) {
    EXPECT_THROW(SqliteHistoryQuery("/nonexistent/history.sqlite"), std::runtime_error);
}

TEST(HttpText, HostMustNameTheAddressServed) {
    const struct {
        const char* served;
        const char* header;
        bool allowed;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1:8029", true},   {"127.0.0.1", "localhost", true},
        {"127.0.0.1", "[::1]:8029", true},       {"127.0.0.1", "evil.example:8029", false},
        {"127.0.0.1", "127.0.0.1:8030", false},  {"127.0.0.1", "127.0.0.1:80x", false},
        {"0.0.0.0", "192.0.2.7:8029", true},     {"0.0.0.0", "[2001:db8::1]", true},
        {"0.0.0.0", "bench-01:8029", false},     {"::", "localhost:8029", true},
        {"192.0.2.7", "192.0.2.7", true},        {"192.0.2.7", "192.0.2.8", false},
        {"bench-01", "BENCH-01:8029", true},     {"bench-01", "bench-02:8029", false},
        {"bench-01", "127.0.0.1:8029", false},   {"127.0.0.1", "", false},
        {"127.0.0.1", "[127.0.0.1]", false},     {"127.0.0.1", "[::1", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HttpText::HostAllowed(c.header, c.served, 8029), c.allowed) << c.served << " <- " << c.header;
    }
}

TEST(HttpText, TargetsDecodedAndTextsMadePrintable) {
    const auto t = HttpText::ParseTarget("/api/history?device=12&label=%E7%AC%AC6&x=a+b&&flag");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->path, "/api/history");
    const std::multimap<std::string, std::string> want{{"device", "12"}, {"label", "第6"}, {"x", "a b"}, {"flag", ""}};
    EXPECT_EQ(t->params, want);
    for (const char* bad : {"api", "", "/a%", "/a%4", "/a%zz", "/a?b=%g0"}) EXPECT_FALSE(HttpText::ParseTarget(bad)) << bad;
    const struct {
        std::string in, out;
    } texts[] = {
        {"第6节电池", "第6节电池"},
        {"a\xff b", "a\xEF\xBF\xBD b"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},          // overlong '/'
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
        {"\xE7\xAC", "\xEF\xBF\xBD\xEF\xBF\xBD"},          // cut short
        {"line\nbreak\x7f\\", "line\\nbreak\\x7f\\"},
    };
    for (const auto& c : texts) EXPECT_EQ(HttpText::Printable(c.in), c.out) << c.in;
}

// The server on a free loopback port, with the canned site and the history.
class Served : public HistoryFile {
protected:
    void SetUp() override {
        HistoryFile::SetUp();
        query_ = std::make_unique<SqliteHistoryQuery>(path_);
        hub_.Publish(canned::Site());
        WebServer::Options o;
        o.live = &hub_;
        o.history = query_.get();
        o.streams = 2;
        o.heartbeat_ms = 200;
        server_ = std::make_unique<WebServer>(o);
        server_->Start();
        port_ = server_->Port();
    }
    void TearDown() override {
        server_->Stop();
        HistoryFile::TearDown();
    }

    SnapshotHub hub_;
    std::unique_ptr<SqliteHistoryQuery> query_;
    std::unique_ptr<WebServer> server_;
    int port_ = 0;
};

TEST_F(Served, PagesAndEndpointsWithTheirHeaders) {
    EXPECT_EQ(server_->Warning(), "");
    const struct {
        const char* path;
        int status;
        const char* type;
        const char* body;  // a part of it
    } cases[] = {
        {"/", 200, "text/html; charset=utf-8", "/assets/live.js"},
        {"/history", 200, "text/html; charset=utf-8", "/assets/history.js"},
        {"/assets/uPlot.iife.min.js", 200, "text/javascript; charset=utf-8", "uPlot"},
        {"/assets/style.css", 200, "text/css; charset=utf-8", ".cell.alarm"},
        {"/api/live", 200, "application/json; charset=utf-8", "\"label\":\"第6节电池\""},
        {"/metrics", 200, "text/plain; version=0.0.4; charset=utf-8", "bench_host_cell_volts{device=\"12\",cell=\"6\"}"},
        {"/api/history?device=12&points=10", 200, "application/json; charset=utf-8", "\"bucket_ms\":"},
        {"/api/history.csv?device=12&points=10&cell=2", 200, "text/csv; charset=utf-8", ",cell_2_v\r\n"},
        {"/api/alarms?device=13", 200, "application/json; charset=utf-8", "\"label\":\"温度\""},
        {"/api/devices", 200, "application/json; charset=utf-8", "{\"device\":13,"},
        {"/api/history?device=twelve", 400, "application/json; charset=utf-8", "device is not a whole number"},
        {"/api/history?device=12&to=1&from=2", 400, "application/json; charset=utf-8", "from is after to"},
        {"/api/alarms?device=12&mode=all", 400, "application/json; charset=utf-8", "unknown parameter mode"},
        {"/api/history?device=%zz", 400, "application/json; charset=utf-8", "malformed address"},
        {"/assets/../WebServer.cpp", 404, "application/json; charset=utf-8", "\"error\""},
        {"/assets/%2e%2e%2fWebServer.cpp", 404, "application/json; charset=utf-8", "\"error\""},
        {"/nothing", 404, "application/json; charset=utf-8", "no such page: /nothing"},
        // Bytes that are no UTF-8 come back replaced, so the error is valid JSON text.
        {"/x%ff%fe", 404, "application/json; charset=utf-8", "no such page: /x\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        const auto res = probe::Get(port_, c.path);
        ASSERT_TRUE(res) << c.path;
        EXPECT_EQ(res->status, c.status) << c.path << ": " << res->body;
        EXPECT_EQ(res->Header("Content-Type"), c.type) << c.path;
        EXPECT_NE(res->body.find(c.body), std::string::npos) << c.path << ": " << res->body.substr(0, 300);
        EXPECT_NE(res->Header("Content-Security-Policy").find("script-src 'self';"), std::string::npos);
        EXPECT_EQ(res->Header("X-Content-Type-Options"), "nosniff");
        if (c.status >= 400) Parse(res->body);
    }
}

TEST_F(Served, OnlyReadsAndOnlyForItsOwnAddress) {
    namespace http = boost::beast::http;
    const std::string port = std::to_string(port_);
    const struct {
        http::verb method;
        const char* host;  // nullptr: the address served
        int status;
    } cases[] = {
        {http::verb::get, nullptr, 200},
        {http::verb::head, nullptr, 200},
        {http::verb::post, nullptr, 405},
        {http::verb::put, nullptr, 405},
        {http::verb::delete_, nullptr, 405},
        {http::verb::options, nullptr, 405},
        {http::verb::get, "localhost", 200},
        {http::verb::get, "LOCALHOST:%", 200},
        {http::verb::get, "[::1]:%", 200},
        {http::verb::get, "127.0.0.2", 200},
        // A page elsewhere that rebinds its own name to this machine.
        {http::verb::get, "attacker.example:%", 421},
        {http::verb::get, "127.0.0.1.attacker.example", 421},
        {http::verb::get, "localhost:1", 421},
        {http::verb::get, "192.0.2.1:%", 421},
        {http::verb::get, "", 421},
        {http::verb::get, "[127.0.0.1]", 421},
    };
    for (const auto& c : cases) {
        std::optional<std::string> host;
        if (c.host) host = std::regex_replace(c.host, std::regex("%"), port);
        const auto res = probe::Request(port_, "/api/live", c.method, host, c.method == http::verb::post ? "{}" : "");
        ASSERT_TRUE(res) << http::to_string(c.method) << " " << (c.host ? c.host : "");
        EXPECT_EQ(res->status, c.status) << http::to_string(c.method) << " " << (c.host ? c.host : "") << res->body;
        if (c.status == 405) {
            EXPECT_EQ(res->Header("Allow"), "GET, HEAD");
        }
        if (c.method == http::verb::head) {
            EXPECT_TRUE(res->body.empty());
            EXPECT_NE(res->Header("Content-Length"), "0");
        }
    }
}

TEST(WebAssets, PagesHaveNoInlineScriptOrStyle) {
    for (const char* name : {"live.html", "history.html"}) {
        const WebAsset* a = WebAssets::Find(name);
        ASSERT_TRUE(a) << name;
        const std::string html(a->Body());
        // The policy would refuse them; the page would silently lose them.
        EXPECT_FALSE(std::regex_search(html, std::regex(R"(<script(?![^>]*\bsrc=))"))) << name;
        EXPECT_FALSE(std::regex_search(html, std::regex(R"(<style|\sstyle=|\son[a-z]+=)"))) << name;
    }
}

// Reads server-sent events until want says stop.
int ReadEvents(int port, const std::function<bool(const Json::Value&)>& want) {
    return probe::ReadEvents(port, [&](const std::string& data) { return want(Parse(data)); });
}

TEST_F(Served, LiveStreamSendsTheLatestThenEachPublication) {
    std::vector<uint64_t> versions;
    std::thread publisher;
    ReadEvents(port_, [&](const Json::Value& v) {
        versions.push_back(v["version"].asUInt64());
        if (versions.size() == 1) {
            publisher = std::thread([this] {
                auto site = canned::Site();
                site.devices[1].health = LiveSnapshot::Health::kAnswering;
                hub_.Publish(site);
            });
        } else {
            EXPECT_EQ(v["devices"][1]["health"].asString(), "answering");
        }
        return versions.size() < 2;
    });
    publisher.join();
    EXPECT_EQ(versions, (std::vector<uint64_t>{1, 2}));
}

TEST_F(Served, AStalledPageNeitherBlocksPublishingNorOtherPages) {
    // A client that asks for the stream and never reads it.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(server_->Port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string request = "GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n";
    ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));

    // The stream has begun once its first bytes arrive; from then on it
    // is never read again.
    char first[16];
    ASSERT_GT(::recv(fd, first, sizeof first, 0), 0);

    // The stalled stream and a second one are this server's limit of two;
    // a third is refused with a reason.
    std::promise<void> streaming;
    std::atomic<uint64_t> seen{0};
    std::thread second([&] {
        ReadEvents(port_, [&](const Json::Value& v) {
            if (seen == 0) streaming.set_value();
            seen = v["version"].asUInt64();
            return true;
        });
    });
    streaming.get_future().wait();
    const auto third = probe::Get(port_, "/api/events");
    ASSERT_TRUE(third);
    EXPECT_EQ(third->status, 503);
    EXPECT_NE(third->body.find("too many live pages"), std::string::npos);
    EXPECT_EQ(third->Header("Retry-After"), "5");

    // Publishing goes on regardless, and other requests are answered.
    for (int i = 0; i < 500; ++i) hub_.Publish(canned::Site());
    const auto latest = probe::Get(port_, "/api/live");
    ASSERT_TRUE(latest);
    EXPECT_EQ(Parse(latest->body)["version"].asUInt64(), 501u);
    // The open page catches up with the newest snapshot, skipping those it
    // had no time for.
    test_support::Await([&] { return seen.load() == 501u; });
    EXPECT_EQ(seen.load(), 501u);

    ::close(fd);
    server_->Stop();  // ends the second stream too
    second.join();
}

}  // namespace
