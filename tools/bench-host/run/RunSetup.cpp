#include "run/RunSetup.h"

#include <filesystem>

#include "record/BatteryRecord.h"
#include "bus/BusScheduler.h"
#include "history/HistoryPruner.h"
#include "history/HistoryStore.h"
#include "history/SqlConnection.h"
#include "loader/PluginLoader.h"
#include "events/RunEvents.h"
#include "bus/SerialPort.h"
#include "site/DeviceSettings.h"
#include "site/SiteConfig.h"
#include "basics/TimeStamp.h"
#include "site/ValueNames.h"
#include "host/HLXSPDevice.h"

RunSetup::Bus::Bus() = default;
RunSetup::Bus::Bus(Bus&&) noexcept = default;
RunSetup::Bus::~Bus() = default;

RunSetup::RunSetup(const RunOptions& options, RunEvents& events, PortMaker make_port)
    : options_(options), events_(events), make_port_(std::move(make_port)) {}

std::vector<StoreQueue::Item> RunSetup::TakeSetupWrites() { return std::move(setup_writes_); }

RunSetup::~RunSetup() {
    pruner_.reset();
    // Devices go before the plug-in's providers.
    for (auto& d : devices_) {
        delete d->dev;
        d->dev = nullptr;
    }
    buses_.clear();
}

void RunSetup::Make() {
    SiteConfig site = SiteConfig::Load(options_.config_path);
    if (options_.ports.size() > site.ports.size()) throw Error("more --port options than the site file has ports");
    for (std::size_t i = 0; i < options_.ports.size(); ++i) site.ports[i].path = options_.ports[i];

    plugin_ = std::make_unique<PluginLoader>(
        !options_.plugin.empty() ? options_.plugin : !site.plugin.empty() ? site.plugin : PluginLoader::DefaultPath());

    // Devices first (construction writes nothing), so that the ports can be
    // opened at the speed the devices ask for before anything is printed.
    for (const auto& pc : site.ports) {
        Bus bus;
        if (make_port_)
            bus.port = make_port_(pc.path);
        else
            bus.port = std::make_unique<SerialPort>(pc.path);
        int32_t speed = 0;
        std::vector<BusDevice*> on_bus;
        for (const auto& dc : pc.devices) {
            auto d = std::make_unique<BusDevice>();
            d->conf = dc;
            d->port_path = pc.path;
            d->dev = plugin_->Create(dc.type);
            d->cell_count = ValueNames::CellCount(dc.type);
            if (d->dev == nullptr) {
                std::string made;
                for (const auto& type : plugin_->Types()) made += (made.empty() ? "\"" : ", \"") + type + "\"";
                throw Error("the plug-in makes no device of type \"" + dc.type + "\" (device " + std::to_string(dc.id) +
                            "); it makes " + (made.empty() ? "none" : made));
            }
            for (const auto& [name, limits] : dc.alarms) d->alarms.SetLimits(name, limits);
            if (speed == 0) speed = d->dev->baudrate_;
            if (d->dev->baudrate_ != speed) throw Error("devices on " + pc.path + " ask for different line speeds");
            on_bus.push_back(d.get());
            devices_.push_back(std::move(d));
        }
        bus.port->Open(speed);
        BusScheduler::Options so;
        so.tick_period = site.tick_period;
        so.response_margin_ms = site.response_margin_ms;
        so.frame_gap_ms = site.frame_gap_ms;
        so.echo = pc.echo;
        so.quiet_guard_ms = pc.quiet_guard_ms;
        so.probe_interval_ms = pc.probe_interval_ms;
        so.cycle_limit = options_.rounds;
        bus.scheduler = std::make_unique<BusScheduler>(*bus.port, speed, so, events_);
        for (BusDevice* d : on_bus) bus.scheduler->Add(d);
        buses_.push_back(std::move(bus));
    }

    history_ = std::make_unique<HistoryStore>(options_.db.empty() ? site.history : options_.db,
                                              HistoryStore::Access::kReadWrite);

    // The host stores the configured address and the identifier before the
    // configuration, as on the controller.
    for (auto& d : devices_) {
        d->dev->data_id_ = d->conf.id;
        d->dev->addr_ = d->conf.addr;
        try {
            d->dev->InitSetting(d->conf.config);
        } catch (const std::exception& e) {
            throw Error("device " + std::to_string(d->conf.id) + ": configuration refused: " + e.what());
        }
    }

    // The run is recorded once its devices are configured: a setup that
    // fails leaves no run behind that looks killed.  Its rows are the store
    // thread's first writes, not this thread's: on a slow disk each is a
    // sync, and polling starts without waiting for them.
    HistoryStore::Run run;
    run.plugin_path = plugin_->Path();
    run.plugin_size = plugin_->Digest().size;
    run.plugin_sha256 = plugin_->Digest().sha256;
    std::error_code ec;
    run.site_file = std::filesystem::absolute(options_.config_path, ec).string();
    run.version = BENCH_HOST_VERSION;
    run.test_note = options_.test_note;
    try {
        run_id_ = history_->Writer().NextRunId();
    } catch (const SqlError& e) {
        throw Error("history " + history_->Path() + ": cannot read its runs: " + e.what());
    }
    const TimeStamp began = TimeStamp::Now();
    setup_writes_.push_back(StoreQueue::Item{StoreQueue::RunStart{run, began, run_id_}});
    // What each device is judged by, kept with the run: the report reads
    // it back, not the site file as it may read by then.
    for (const auto& d : devices_) {
        const DeviceSettings s = DeviceSettings::Of(d->conf);
        setup_writes_.push_back(
            StoreQueue::Item{history::RunSettings{0, d->conf.id, s.BatteryText(), s.LimitsText()}});
    }
    // Alarms are evaluated afresh by this run: those an earlier one left
    // raised would otherwise stand forever.
    setup_writes_.push_back(StoreQueue::Item{StoreQueue::CloseAlarms{began}});
    if (!history_->StrayLog().empty()) site.warnings.push_back(history_->StrayLog());
    if (!history_->MovedAside().empty())
        site.warnings.push_back("history " + history_->Path() + " failed SQLite's integrity check (" +
                                history_->Damage() + "): moved aside to " + history_->MovedAside() +
                                ", a new history begun");

    // The rounds older than the days kept go, a few at a time, on a thread
    // of the pruner's own.
    const int keep_days = options_.keep_rounds_days >= 0 ? options_.keep_rounds_days : site.keep_rounds_days;
    if (keep_days > 0 && history_->NotStoring().empty()) {
        try {
            pruner_ = std::make_unique<HistoryPruner>(history_->Path(), keep_days, [this](const std::string& line) {
                events_.Publish(run::SetupWarning{line});
            });
        } catch (const std::exception& e) {
            events_.Publish(run::SetupWarning{"history " + history_->Path() + ": the rounds older than " +
                                              std::to_string(keep_days) + " days are not pruned: " + e.what()});
        }
    }

    // Said once the site runs: a setup that fails says one line, its reason.
    for (const auto& w : site.warnings) events_.Publish(run::SetupWarning{w});
}

void RunSetup::Restore() {
    for (auto& d : devices_) {
        // The baseline the live figures compare with, read once here rather
        // than with each round; one that cannot be read is none (the rises
        // and drifts and its capacity are then absent, not zero).
        std::optional<history::Baseline> baseline;
        try {
            baseline = history_->Reader().NewestBaseline(d->conf.id);
        } catch (const std::exception& e) {
            baseline.reset();
            events_.Publish(run::SetupWarning{"device " + std::to_string(d->conf.id) +
                                              ": its baseline cannot be read, no resistance rise, float drift nor its "
                                              "capacity is shown: " + e.what()});
        }
        std::vector<double> baseline_mohm;
        if (baseline)
            for (const auto& r : baseline->resistance_mohm) baseline_mohm.push_back(r.value_or(0.0));
        d->resistance.emplace(d->conf.battery, std::move(baseline_mohm));
        std::optional<verdict::LiveCapacity::Baseline> baseline_capacity;
        if (baseline && baseline->capacity_pct)
            baseline_capacity = verdict::LiveCapacity::Baseline{*baseline->capacity_pct, baseline->to_ms, baseline->taken_at};
        d->capacity.emplace(d->conf.battery, !options_.test_note.empty(), std::move(baseline_capacity));
        d->float_drift.emplace(d->conf.battery, baseline ? baseline->float_v : std::vector<std::optional<double>>{},
                               baseline ? baseline->temperature_c : std::nullopt);
        d->baseline_date = baseline ? baseline->taken_at.substr(0, 10) : "";
        std::optional<HistoryStore::Row> row;
        try {
            row = history_->Reader().Newest(d->conf.id);
        } catch (const std::exception& e) {
            events_.Publish(run::Restored{d.get(), false, "", std::string("the history cannot be read: ") + e.what()});
            continue;
        }
        if (!row) {
            events_.Publish(run::Restored{d.get(), false, "", "nothing stored for it yet"});
            continue;
        }
        bool ok = false;
        restoring_ = true;
        try {
            ok = d->dev->LoadFromCache(std::string(row->record.begin(), row->record.end()));
        } catch (const std::exception& e) {
            events_.Publish(run::DeviceCallFailed{d.get(), "cache", e.what()});
        }
        restoring_ = false;
        if (ok) {
            // The plug-in took the image as stored; the outputs show the
            // values the monitor had marked invalid as no value still.
            d->last = BatteryRecord::Decode(row->record.data(), row->record.size(), row->no_value);
            d->last_round_at = row->saved_at;
        }
        events_.Publish(run::Restored{d.get(), ok, row->saved_at, ""});
    }
}
