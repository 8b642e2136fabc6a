#include "ModelledString.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cmath>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <tuple>
#include <utility>

#include "history/AlarmRow.h"
#include "history/BaselineStore.h"
#include "history/HistoryStore.h"
#include "history/SqlConnection.h"
#include "host/standin/HostStandin.h"
#include "models/UPSBattery29.h"
#include "protocol/MonitorProtocol.h"
#include "record/AlarmEvaluator.h"
#include "report/StringBaseline.h"
#include "site/DeviceSettings.h"
#include "site/SiteConfig.h"
#include "site/ValueNames.h"
#include "basics/TimeStamp.h"
#include "verdict/FloatAlarms.h"
#include "verdict/LiveCapacity.h"
#include "verdict/LiveCharge.h"
#include "verdict/LiveResistance.h"

namespace {

// Requests of one cycle at most: its four, and as many again should the
// device ask again for one; more means the cycle no longer ends.
constexpr int kMaxExchanges = 8;

int64_t MsAfter(int64_t start_ms, double t_s) { return start_ms + std::llround(t_s * 1000.0); }

// A byte on the device's 8N1 line, in seconds.
constexpr double kByteS = static_cast<double>(monitor::kBitsPerByte) / Battery::kLineSpeed;

}  // namespace

// The host's side of a run for the one device: its calls observed, its
// rounds judged and stored as HostCalls keeps them.
class ModelledString::Host : public hoststandin::HostObserver {
public:
    explicit Host(SiteConfig::Device conf) : conf_(std::move(conf)), previous_(hoststandin::Observer()) {
        hoststandin::SetObserver(this);
        for (const auto& [name, limits] : conf_.alarms) alarms_.SetLimits(name, limits);
        EXPECT_EQ(conf_.type, "upsbattery_29") << "the plug-in's device linked here";
        cells_ = ValueNames::CellCount(conf_.type);
        plug_.data_id_ = conf_.id;
        plug_.addr_ = conf_.addr;
        plug_.InitSetting(conf_.config);
    }
    ~Host() override { hoststandin::SetObserver(previous_); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    void OnSendData(HLXSPDevice&, const unsigned char* data, unsigned int len) override {
        requests_.emplace_back(data, data + len);
    }
    void OnCheckThreshold(HLXVDevice&, const std::string& name, const std::string& label, float value,
                          int) override {
        checks_.push_back({name, label, value});
    }
    void OnSaveHistory(HLXVDevice&, const unsigned char* data, unsigned int size) override {
        record_.assign(data, data + size);
        saved_ = true;
    }

    // The run begins: its row, the alarms an earlier run left raised
    // closed, the baseline its live figures compare with; the baseline's
    // date.
    std::string Begin(HistoryStore& store, const std::string& site_file, int64_t start_ms,
                      const std::string& test_note) {
        store_ = &store;
        start_ms_ = start_ms;
        history::Run run;
        run.plugin_path = "upsbattery_29, linked into the test";
        run.site_file = site_file;
        run.version = "modelled";
        run.test_note = test_note;
        store.Writer().BeginRun(run, TimeStamp::FromMs(start_ms));
        // What the device is judged by, kept with the run as a run keeps it.
        const DeviceSettings settings = DeviceSettings::Of(conf_);
        store.Writer().SaveRunSettings({0, conf_.id, settings.BatteryText(), settings.LimitsText()});
        store.Writer().CloseAlarmsLeftRaised(TimeStamp::FromMs(start_ms));
        const auto baseline = store.Reader().NewestBaseline(conf_.id);
        std::vector<double> baseline_mohm;
        if (baseline)
            for (const auto& r : baseline->resistance_mohm) baseline_mohm.push_back(r.value_or(0.0));
        resistance_.emplace(conf_.battery, std::move(baseline_mohm));
        std::optional<verdict::LiveCapacity::Baseline> baseline_capacity;
        if (baseline && baseline->capacity_pct)
            baseline_capacity =
                verdict::LiveCapacity::Baseline{*baseline->capacity_pct, baseline->to_ms, baseline->taken_at};
        capacity_.emplace(conf_.battery, !test_note.empty(), std::move(baseline_capacity));
        return baseline ? baseline->taken_at.substr(0, 10) : "";
    }

    // One cycle from t_s of the run, which began at start_ms, on a line at
    // the device's speed: the monitor answers each request as soon as it
    // has crossed the wire, and the next request follows its reply's last
    // byte, so a load that changes within a cycle shows in its later
    // replies only, as on a real line.  answered: each command with the
    // moment it was answered.  The round the device completed, judged and
    // stored the moment its last reply was in.
    template <typename Answered>
    std::optional<Round> Cycle(monitor_sim::MonitorModel& monitor, double t_s, int64_t start_ms,
                               Answered answered) {
        requests_.clear();
        checks_.clear();
        saved_ = false;
        plug_.RefreshStatus();
        double now = t_s;
        for (int n = 0; n < kMaxExchanges && !requests_.empty() && !saved_; ++n) {
            const std::vector<uint8_t> request = std::move(requests_.front());
            requests_.pop_front();
            uint8_t addr = 0, command = 0;
            if (!monitor::ParseRequest(request.data(), static_cast<int>(request.size()), &addr, &command) ||
                addr != monitor.Address()) {
                ADD_FAILURE() << "the device asked what its monitor does not answer";
                return std::nullopt;
            }
            now += static_cast<double>(request.size()) * kByteS;
            auto reply = monitor.Answer(command, now);
            if (!reply) {
                ADD_FAILURE() << "the monitor does not know command " << static_cast<int>(command);
                return std::nullopt;
            }
            answered(command, now);
            now += static_cast<double>(reply->frame.size()) * kByteS;
            plug_.process(reply->frame.data(), static_cast<unsigned int>(reply->frame.size()));
        }
        if (!saved_) {
            ADD_FAILURE() << "the cycle at " << t_s << " s completed no round";
            return std::nullopt;
        }
        return Keep(MsAfter(start_ms, now));
    }

    // The run's counts and its end.
    void End(int64_t end_ms, long cycles) {
        history::RunDevice counts;
        counts.run_id = store_->Writer().RunId().value_or(0);
        counts.device_id = conf_.id;
        counts.cycles = counts.completed = cycles;
        counts.late_polls = 0;  // each cycle starts on its tick
        counts.updated_ms = end_ms;
        store_->Writer().SaveRunDevice(counts);
        store_->Writer().EndRun(TimeStamp::FromMs(end_ms), end_ms - start_ms_);
    }

    std::optional<verdict::CapacityNow> Capacity() const {
        return capacity_ ? capacity_->Now(true) : std::nullopt;
    }

private:
    struct Check {
        std::string name, label;
        float value = 0;
    };

    Round Keep(int64_t ms) {
        const TimeStamp at = TimeStamp::FromMs(ms);
        for (const auto& check : checks_)
            for (const auto& c : alarms_.Evaluate(check.name, check.label, check.value)) Alarm(c, at);
        Round round;
        round.ms = ms;
        std::string state;
        const auto record = BatteryRecord::Decode(record_.data(), record_.size());
        EXPECT_TRUE(record.has_value()) << "a round without a whole record";
        if (record) {
            round.record = *record;
            const verdict::Reading r = verdict::LiveCharge::ReadingOf(*record, conf_.battery.Blocks(cells_), ms);
            charge_.Capacity(capacity_->Known(), capacity_->KnownFrom());
            round.charge = charge_.Add(r);
            state = verdict::ChargeName(round.charge.state);
            resistance_->Add(r);
            capacity_->Add(r, round.charge.state);
            const auto step = float_alarms_.Next(r, round.charge);
            if (step.hold) {
                history::Note n;
                n.run_id = store_->Writer().RunId().value_or(0);
                n.device_id = conf_.id;
                const TimeStamp held = TimeStamp::FromMs(step.hold->at_ms);
                n.at = held.Text();
                n.at_ms = held.Ms();
                n.kind = step.hold->Kind();
                n.text = step.hold->Text();
                store_->Writer().SaveNote(n);
            }
            for (const auto& c : step.changes) Alarm(c, at);
        }
        // The model's time is the run's monotonic clock: no step in it.
        store_->Writer().SaveRecord(conf_.id, record_.data(), record_.size(), at, state, ms - start_ms_);
        return round;
    }

    void Alarm(const AlarmEvaluator::Change& c, const TimeStamp& at) {
        history::Alarm a = history::AlarmRow(conf_.id, c, at);
        const auto key = std::make_pair(c.name, c.bound);
        if (c.raised) {
            raised_[key] = at.Ms();
        } else if (const auto it = raised_.find(key); it != raised_.end()) {
            a.lasted_ms = at.Ms() - it->second;
            raised_.erase(it);
        }
        store_->Writer().SaveAlarm(a);
    }

    SiteConfig::Device conf_;
    hoststandin::HostObserver* previous_;
    UPSBattery29 plug_;
    int cells_ = 0;
    AlarmEvaluator alarms_;
    verdict::LiveCharge charge_{conf_.battery};
    verdict::FloatAlarms float_alarms_{conf_.battery};
    std::optional<verdict::LiveResistance> resistance_;
    std::optional<verdict::LiveCapacity> capacity_;
    HistoryStore* store_ = nullptr;
    int64_t start_ms_ = 0;
    std::deque<std::vector<uint8_t>> requests_;
    std::vector<Check> checks_;
    std::vector<uint8_t> record_;
    bool saved_ = false;
    std::map<std::pair<std::string, std::string>, int64_t> raised_;  // (name, bound): raised at
};

namespace {

// The device's bus address, from its site-file object: the monitor answers
// there.
uint8_t BusAddressOf(const std::string& device) {
    Json::Value v;
    std::istringstream in(device);
    Json::CharReaderBuilder b;
    std::string errors;
    if (!Json::parseFromStream(b, in, &v, &errors)) {
        ADD_FAILURE() << "device " << device << ": " << errors;
        return monitor::BusAddress(1);
    }
    return monitor::BusAddress(static_cast<uint8_t>(v.get("addr", 1).asUInt()));
}

}  // namespace

ModelledString::ModelledString(const std::string& dir, const std::string& db, const std::string& device,
                               monitor_sim::MonitorProfile profile, uint32_t seed)
    : db_(db), profile_(profile), monitor_(BusAddressOf(device), std::move(profile), seed) {
    static int sites = 0;
    site_file_ = dir + "/site" + std::to_string(++sites) + ".json";
    // A site as a run reads it, for the report to take the device's battery
    // data and limits from.
    std::ofstream(site_file_) << R"({"history":")" << db_ << R"(","ports":[{"path":"/dev/ttyMODEL0","devices":[)"
                              << device << "]}]}";
    const SiteConfig site = SiteConfig::Load(site_file_);
    if (site.ports.size() != 1 || site.ports[0].devices.size() != 1) {
        ADD_FAILURE() << "one device is modelled: " << device;
        return;
    }
    host_ = std::make_unique<Host>(site.ports[0].devices[0]);
}

ModelledString::~ModelledString() = default;

void ModelledString::Run(double seconds, double tick_s, int64_t start_ms) {
    ASSERT_FALSE(ran_) << "a modelled string runs once";
    ASSERT_TRUE(host_);
    ASSERT_GT(tick_s, 0.0);
    ran_ = true;
    // The plug-in's console lines stay out of the test's output.
    struct Quiet {
        std::ostringstream console;
        std::streambuf* const cout = std::cout.rdbuf(console.rdbuf());
        ~Quiet() { std::cout.rdbuf(cout); }
    } quiet;
    {
        HistoryStore store(db_, HistoryStore::Access::kReadWrite);
        baseline_date_ = host_->Begin(store, site_file_, start_ms, test_note_);
        const monitor_sim::BatteryModel* battery = monitor_.Battery();
        long cycles = 0;
        // Counted in ticks, so a long run's times carry no sum's residue.
        for (long k = 0; static_cast<double>(k) * tick_s <= seconds; ++k) {
            const double t = static_cast<double>(k) * tick_s;
            ++cycles;
            // The truth as each reply read it: the blocks with the cells,
            // the current with the current.
            Round truth;
            auto answered = [&](uint8_t command, double at_s) {
                truth.answered.push_back({command, at_s});
                if (command == monitor::kCmdCellVoltages && battery) {
                    for (int b = 0; b < battery->Blocks(); ++b) {
                        truth.soc.push_back(battery->Soc(b));
                        truth.capacity_ah.push_back(battery->CapacityAh(b));
                    }
                    truth.test = monitor_.TestState();
                }
                if (command == monitor::kCmdCurrent)
                    truth.model_current_a = battery ? battery->Current() : profile_.CurrentAt(at_s);
            };
            auto round = host_->Cycle(monitor_, t, start_ms, answered);
            if (!round) break;
            round->t_s = t;
            round->answered = std::move(truth.answered);
            round->soc = std::move(truth.soc);
            round->capacity_ah = std::move(truth.capacity_ah);
            round->test = truth.test;
            round->model_current_a = truth.model_current_a;
            rounds_.push_back(std::move(*round));
        }
        host_->End(MsAfter(start_ms, seconds), cycles);
    }
}

std::optional<verdict::CapacityNow> ModelledString::Capacity() const {
    return host_ ? host_->Capacity() : std::nullopt;
}

StringReport ModelledString::Report(const std::string& db, const StringReport::Options& options) {
    HistoryStore store(db, HistoryStore::Access::kReadOnly);
    return StringReport::Build(store.Reader(), db, options);
}

int ModelledString::KeepBaseline(const std::string& db, const StringReport::Options& options) {
    std::vector<history::Baseline> kept;
    {
        const StringReport r = Report(db, options);
        for (std::size_t i = 0; i < r.devices.size() && i < r.verdicts.size(); ++i) {
            const auto& w = r.devices[i].watch;
            if (w.rounds == 0) continue;
            // Kept a second after the period's last round: the moment the
            // command ran, on the run's clock.
            const TimeStamp set = TimeStamp::FromMs(w.last_ms + 1000);
            auto b = report::StringBaseline::From(r.verdicts[i], options.from_ms.value_or(w.first_ms),
                                                  options.to_ms.value_or(w.last_ms), w.last_at, set.Text(), set.Ms());
            if (report::StringBaseline::HoldsAnything(b)) kept.push_back(std::move(b));
        }
    }
    SqlConnection out(db, SqlConnection::Open::kCreate);
    for (const auto& b : kept) BaselineStore::Set(out, b);
    return static_cast<int>(kept.size());
}
