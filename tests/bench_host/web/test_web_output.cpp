// WebOutput: what the run's events make of the page's snapshot, and when it
// is handed to the hub.
#include <gtest/gtest.h>

#include <vector>

#include "bus/BusDevice.h"
#include "web/SnapshotHub.h"
#include "site/ValueNames.h"
#include "web/WebOutput.h"

namespace {

struct Site {
    SnapshotHub hub;
    WebOutput output{hub};
    BusDevice device;

    Site() {
        device.conf.id = 12;
        device.port_path = "/dev/ttyUSB0";
        device.cell_count = 29;
        device.alarms.SetLimits("battery_*_value", {12.0f, 14.4f});
        device.alarms.SetLimits("temperature", {std::nullopt, 40.0f});
        device.labels[ValueNames::CellName(5)] = "第6节电池";
        run::RunStarted started;
        started.devices = {&device};
        output.OnEvent(started);
    }

    const LiveSnapshot::Device& Shown() const { return hub.Get().snapshot->devices.at(0); }

    // stored: the store thread wrote its record (told after the round).
    void Round(float cell6, bool stored = true) {
        BatteryRecord r;
        r.cells.fill(13.5f);
        r.cells[5] = cell6;
        r.group_voltage = 391.5f;
        r.temperature = 25.0f;
        ++device.cycles;
        ++device.completed;
        for (const auto& c : device.alarms.Evaluate(ValueNames::CellName(5), "第6节电池", cell6)) {
            if (c.raised)
                output.OnEvent(run::AlarmRaised{&device, c, ""});
            else
                output.OnEvent(run::AlarmCleared{&device, c, ""});
        }
        output.OnEvent(run::RoundCompleted{&device, r, "", {verdict::Charge::floating, 0, {}}});
        if (stored) output.OnEvent(run::RecordsStored{&device, ++records_stored});
    }
    long records_stored = 0;
};

TEST(WebOutput, SetupShowsTheDeviceWithItsLimitsBeforeAnyRound) {
    Site site;
    const auto& d = site.Shown();
    EXPECT_EQ(d.id, 12u);
    EXPECT_EQ(d.health, DeviceHealth::State::kNeverAnswered);
    EXPECT_FALSE(d.values_at_ms);
    ASSERT_EQ(d.cells.size(), 29u);
    EXPECT_EQ(d.cells[5].label, "第6节电池");
    EXPECT_EQ(d.cells[0].label, "battery_0_value") << "a label the plug-in has not given yet: the value name";
    EXPECT_EQ(d.cells[0].low, 12.0f);
    EXPECT_FALSE(d.temperature.low);
    EXPECT_EQ(d.temperature.high, 40.0f);
    EXPECT_FALSE(d.current.low || d.current.high);
    EXPECT_EQ(d.failures.size(), kFailureReasons);
}

TEST(WebOutput, RoundsAlarmsHealthAndCountsReachTheHub) {
    Site site;
    site.Round(11.2f);
    const uint64_t after_round = site.hub.Get().version;
    {
        const auto& d = site.Shown();
        ASSERT_TRUE(d.values_at_ms);
        EXPECT_FLOAT_EQ(d.cells[5].value, 11.2f);
        EXPECT_TRUE(d.cells[5].in_alarm);
        EXPECT_FALSE(d.cells[4].in_alarm);
        EXPECT_FLOAT_EQ(d.string_voltage.value, 391.5f);
        EXPECT_EQ(d.rounds, 1u);
        ASSERT_TRUE(d.charge);
        EXPECT_EQ(d.charge->state, verdict::Charge::floating);
        const auto& alarms = site.hub.Get().snapshot->recent_alarms;
        ASSERT_EQ(alarms.size(), 1u);
        EXPECT_TRUE(alarms[0].raised);
        EXPECT_EQ(alarms[0].label, "第6节电池");
    }
    site.Round(13.5f);
    EXPECT_FALSE(site.Shown().cells[5].in_alarm);
    EXPECT_FALSE(site.hub.Get().snapshot->recent_alarms.back().raised);
    EXPECT_GT(site.hub.Get().version, after_round);

    // Failed exchanges are counted and shown within a second, not one
    // publication each.
    const uint64_t before = site.hub.Get().version;
    ++site.device.cycles;
    At(site.device.failures, FailureReason::kChecksum) += 1;
    site.output.OnEvent(run::ExchangeFailed{&site.device, FailureReason::kChecksum});
    EXPECT_EQ(site.hub.Get().version, before);
    site.output.Refresh(std::chrono::steady_clock::now());
    EXPECT_EQ(site.Shown().failures[static_cast<std::size_t>(FailureReason::kChecksum)].second, 1u);
    EXPECT_EQ(site.Shown().last_reason, "checksum");

    DeviceHealth::Change silent;
    silent.from = DeviceHealth::State::kAnswering;
    silent.to = DeviceHealth::State::kNotAnswering;
    silent.since = DeviceHealth::Moment::Now();
    silent.reason = FailureReason::kTimeout;
    site.output.OnEvent(run::HealthChanged{&site.device, silent});
    EXPECT_EQ(site.Shown().health, DeviceHealth::State::kNotAnswering);
    EXPECT_EQ(site.Shown().last_reason, "timeout");

    site.Round(13.5f, false);
    site.output.OnEvent(run::StoreFailed{&site.device, "disk full", 1});
    // Health changes and counts that fail are no records; the page counts
    // every kind for the run, and says when the file was lost.
    site.output.OnEvent(run::StoreFailed{&site.device, "disk full", 1, history::StoreKind::kHealth});
    site.output.OnEvent(run::StoreFailed{nullptr, "disk full", 3, history::StoreKind::kCounts, 2});
    site.output.OnEvent(run::HistoryLost{"history h.sqlite was deleted"});
    EXPECT_EQ(site.Shown().records_not_stored, 1u);
    EXPECT_EQ(site.Shown().records_stored, 2u);
    const auto& whole = *site.hub.Get().snapshot;
    EXPECT_EQ(whole.not_stored, (std::array<uint64_t, history::kStoreKinds>{1, 0, 1, 2}));
    EXPECT_EQ(whole.history_lost, "history h.sqlite was deleted");
}

// The page keeps the run's latest steps of the wall clock, bounded, and
// counts them all.
TEST(WebOutput, KeepsTheClockStepsBounded) {
    Site site;
    const auto at = std::chrono::system_clock::time_point{} + std::chrono::hours(500000);
    for (std::size_t i = 0; i <= LiveSnapshot::kClockSteps; ++i)
        site.output.OnEvent(run::ClockStepped{at, std::chrono::milliseconds(-3600000 + static_cast<int64_t>(i))});
    const auto& s = *site.hub.Get().snapshot;
    EXPECT_EQ(s.clock_steps.size(), LiveSnapshot::kClockSteps);
    EXPECT_EQ(s.clock_steps_total, LiveSnapshot::kClockSteps + 1);
    EXPECT_EQ(s.clock_steps.back().step_ms, -3600000 + static_cast<int64_t>(LiveSnapshot::kClockSteps));
    EXPECT_NE(s.ToJson(1).find(R"("clock_steps_total":9)"), std::string::npos);
}

TEST(WebOutput, KeepsTheRecentAlarmsBounded) {
    Site site;
    for (std::size_t i = 0; i < WebOutput::kRecentAlarms; ++i) {
        site.Round(11.0f);
        site.Round(13.5f);
    }
    const auto& alarms = site.hub.Get().snapshot->recent_alarms;
    EXPECT_EQ(alarms.size(), WebOutput::kRecentAlarms);
    EXPECT_FALSE(alarms.back().raised);
}

TEST(WebOutput, ADeviceThatNeverAnsweredStaysSoUntilItDoes) {
    Site site;
    for (int i = 0; i < 3; ++i) {
        if (const auto c = site.device.health.CycleFailed(FailureReason::kTimeout, DeviceHealth::Moment::Now()))
            site.output.OnEvent(run::HealthChanged{&site.device, *c});
    }
    EXPECT_EQ(site.device.health.state(), DeviceHealth::State::kNotAnswering) << "the run's own model";
    EXPECT_EQ(site.Shown().health, DeviceHealth::State::kNeverAnswered);
    EXPECT_FALSE(site.Shown().values_at_ms);
    if (const auto c = site.device.health.CycleCompleted(DeviceHealth::Moment::Now()))
        site.output.OnEvent(run::HealthChanged{&site.device, *c});
    for (int i = 0; i < 3; ++i) {
        if (const auto c = site.device.health.CycleFailed(FailureReason::kTimeout, DeviceHealth::Moment::Now()))
            site.output.OnEvent(run::HealthChanged{&site.device, *c});
    }
    EXPECT_EQ(site.Shown().health, DeviceHealth::State::kNotAnswering);
}

TEST(WebOutput, CountersOnlyRiseAndMoveWhileNoRoundComes) {
    Site site;
    site.Round(13.5f);
    site.Round(13.5f);
    std::vector<uint64_t> stored{site.Shown().records_stored};
    // An alarm that fails to store is no record lost; a record that fails is
    // one, and neither takes back a record already stored.
    site.output.OnEvent(run::StoreFailed{&site.device, "disk full", 1, history::StoreKind::kAlarm});
    stored.push_back(site.Shown().records_stored);
    site.output.OnEvent(run::StoreFailed{&site.device, "disk full", 1});
    site.output.Refresh(std::chrono::steady_clock::now() + std::chrono::seconds(2));
    stored.push_back(site.Shown().records_stored);
    site.Round(13.5f, false);
    stored.push_back(site.Shown().records_stored);
    site.Round(13.5f);
    stored.push_back(site.Shown().records_stored);
    EXPECT_EQ(stored, (std::vector<uint64_t>{2, 2, 2, 2, 3}));
    EXPECT_EQ(site.Shown().records_not_stored, 1u);
    EXPECT_EQ(site.Shown().alarms_not_stored, 1u);

    // The port is away: no events come, cycles fall due and are missed, and
    // the page and /metrics see them counted within a second.
    site.device.missed += 3;
    site.device.abandoned += 1;
    site.device.resends += 2;
    site.output.Refresh(std::chrono::steady_clock::now() + std::chrono::seconds(4));
    EXPECT_EQ(site.Shown().cycles_missed, 3u);
    EXPECT_EQ(site.Shown().cycles_abandoned, 1u);
    EXPECT_EQ(site.Shown().resends, 2u);
}

}  // namespace
