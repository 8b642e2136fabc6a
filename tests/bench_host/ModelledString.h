#pragma once
// monitor-sim's monitor, its battery model and its faults as its options
// set them, polled in this process on simulated time.  Each tick the
// plug-in's own device asks it for one whole cycle (cells, string voltage,
// current, temperature), as a run's bus does, and the round it completes
// goes where a run sends it: its values to the device's alarm limits, its
// reading to the live charge state, capacity, resistance and float alarms,
// its record with its charge state into the history file, beside the
// alarms, the float alarms' holds and the run's counts.  The report and the
// baseline are then made from that file as the commands make them.
//
// Nothing sleeps, no process is started and the wall clock decides
// nothing: a run's time is the model's, a round every tick from a fixed
// moment, so every run of a case sees the same rounds, and each round comes
// with the model's truth as it was read.  (The record's own time stamp and
// the report's "generated_at" are the wall clock's; no figure reads them.)
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "MonitorModel.h"
#include "MonitorProfile.h"
#include "record/BatteryRecord.h"
#include "report/StringReport.h"
#include "verdict/CapacityNow.h"
#include "verdict/ChargeNow.h"

class ModelledString {
public:
    // 2026-12-08T10:00:00Z: the moment the first run of a file starts at.
    static constexpr int64_t kFirstRunMs = 1796724000000;

    struct Round {
        double t_s = 0;  // its tick, since the run's start
        // Each command of its cycle with the moment (since the run's
        // start) the monitor answered it.
        std::vector<std::pair<uint8_t, double>> answered;
        int64_t ms = 0;  // as stored: its last reply's end
        BatteryRecord record;
        // The live charge state and time remaining, as the run's round
        // lines give them.
        verdict::ChargeNow charge;
        // The modelled battery as the cell reply read it (empty without
        // one): per block its state of charge and its capacity in Ah at the
        // present temperature, the capacity test's state ("none",
        // "running", "ended"); and the current as the current reply read it
        // (below 0: discharge), the model's or the profile's.
        std::vector<double> soc, capacity_ah;
        double model_current_a = 0;
        std::string test = "none";
    };

    // device: the device's object in a site file ("id", "addr", "type",
    // "config", "alarms", "battery"), written into a site file of its own
    // in dir, which the run names as a run names its site.  The monitor
    // answers at the device's bus address, its readings drawn from seed.
    ModelledString(const std::string& dir, const std::string& db, const std::string& device,
                   monitor_sim::MonitorProfile profile, uint32_t seed = 1);
    ~ModelledString();
    ModelledString(const ModelledString&) = delete;
    ModelledString& operator=(const ModelledString&) = delete;

    // One run of the device from start_ms: a cycle every tick_s seconds,
    // the first at the start, for as long as a cycle is due within
    // seconds, its requests and replies each taking their time on the
    // line; the monitor's clock starts with the run.  Reads the
    // device's newest baseline at its start, as a run does.  Once only.
    void Run(double seconds, double tick_s, int64_t start_ms = kFirstRunMs);
    // The run marked as a capacity test with this note, as `run --test`
    // marks it: its discharge is one test, and a run of it without a
    // discharge current read says so.  Before Run.
    void MarkTest(const std::string& note) { test_note_ = note; }

    const std::vector<Round>& Rounds() const { return rounds_; }
    // The run's capacity as its summary gives it at the end; none without
    // a test or a baseline's.
    std::optional<verdict::CapacityNow> Capacity() const;
    // The date of the baseline the run read at its start, "" without one.
    const std::string& BaselineDate() const { return baseline_date_; }
    const std::string& SiteFile() const { return site_file_; }

    // The report over the file, as `bench-host report` builds it.
    static StringReport Report(const std::string& db, const StringReport::Options& options = {});
    // Each device's figures of the period kept as its newest baseline, as
    // `bench-host baseline --set` keeps them; the number kept.
    static int KeepBaseline(const std::string& db, const StringReport::Options& options = {});

private:
    class Host;

    std::string db_, site_file_;
    monitor_sim::MonitorProfile profile_;
    monitor_sim::MonitorModel monitor_;
    std::unique_ptr<Host> host_;
    std::vector<Round> rounds_;
    std::string baseline_date_, test_note_;
    bool ran_ = false;
};
