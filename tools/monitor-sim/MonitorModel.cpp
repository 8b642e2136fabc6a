#include "MonitorModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace monitor_sim {

namespace {

// Seed stream of the readings; the fault decisions use another.
constexpr uint32_t kReadingStream = 1;
// A healthy cell moves by at most this share of its drift per read, so the
// readings wander rather than jump.
constexpr double kDriftStepShare = 0.25;

constexpr double kRawMax = 65535.0;
constexpr double kAmpsScale = 10.0;         // raw = amperes x 10
constexpr double kDegreesScale = 100.0;     // raw = degrees x 100
constexpr double kSensorZeroRaw = 2500.0;   // Hall sensor: the reading of 0 A
constexpr double kSensorRawPerAmp = 25.0;   // ... and its slope

uint16_t ToRaw(double value, double scale) {
    return static_cast<uint16_t>(std::clamp(std::round(value * scale), 0.0, kRawMax));
}

}  // namespace

MonitorModel::MonitorModel(uint8_t addr, MonitorProfile profile, uint32_t seed, int twin)
    : addr_(addr), twin_(twin), profile_(std::move(profile)), sag_factor_(profile_.cells, 1.0), offset_(profile_.cells, 0.0) {
    // The first monitor at an address keeps the stream it has always had,
    // so a run's readings do not change when a twin is added.
    std::vector<uint32_t> keys{seed, static_cast<uint32_t>(addr), kReadingStream};
    if (twin > 0) keys.push_back(static_cast<uint32_t>(twin));
    std::seed_seq seq(keys.begin(), keys.end());
    rng_.seed(seq);
    for (const auto& w : profile_.weak_cells)
        if (!w.addr || *w.addr == addr_) weak_.push_back(w);
    for (const auto& h : profile_.high_resistance)
        if ((!h.addr || *h.addr == addr_) && h.index >= 0 && h.index < profile_.cells) sag_factor_[h.index] = h.factor;
    if (profile_.battery) {
        BatteryParams p = profile_.battery->params;
        p.blocks = profile_.cells;
        p.temperature_c = profile_.TemperatureAt(0.0);
        for (const auto& h : profile_.high_resistance)
            if ((!h.addr || *h.addr == addr_) && h.index >= 0 && h.index < profile_.cells) {
                p.resistance_factor.resize(static_cast<std::size_t>(profile_.cells), 1.0);
                p.resistance_factor[static_cast<std::size_t>(h.index)] = h.factor;
            }
        battery_.emplace(p);
        battery_->Step(0.0, 0.0, true);
    }
    // Until the first cell-voltage request the string voltage follows the
    // nominal cells.
    for (int i = 0; i < profile_.cells; ++i) last_cells_[i] = ToRaw(CellVolts(i, 0.0), profile_.CellScale());
}

bool MonitorModel::WeakNow(const MonitorProfile::WeakCell& w, double elapsed_s) const {
    switch (w.recovery) {
        case MonitorProfile::WeakCell::Recovery::kNever:
            return true;
        case MonitorProfile::WeakCell::Recovery::kAfterReads:
            return static_cast<double>(cell_reads_) < w.after;
        case MonitorProfile::WeakCell::Recovery::kAfterSeconds:
            return elapsed_s < w.after;
    }
    return true;
}

double MonitorModel::CellVolts(int index, double elapsed_s) const {
    // A monitor set apart (a second one at one address) reads every cell
    // its offset higher, whatever the cell does.
    return profile_.offset.volts + OwnCellVolts(index, elapsed_s);
}

double MonitorModel::OwnCellVolts(int index, double elapsed_s) const {
    // A weak cell rests at exactly its set voltage, so an alarm test knows
    // what to expect; when it recovers it rejoins the healthy drift.  Under
    // a discharge it sags as any cell does, by its own resistance.  A
    // modelled battery's blocks follow the model, but for a weak cell.
    if (battery_) {
        for (const auto& w : weak_)
            if (w.index == index && WeakNow(w, elapsed_s)) return w.volts;
        return battery_->BlockVolts(index) + offset_[index];
    }
    double volts = profile_.cell_volts + offset_[index];
    for (const auto& w : weak_)
        if (w.index == index && WeakNow(w, elapsed_s)) volts = w.volts;
    double frac = 0.0;
    if (profile_.Discharging(elapsed_s, &frac)) {
        const auto& d = *profile_.discharge;
        volts -= sag_factor_[index] * (d.amps * d.resistance_ohms + d.sag_volts * frac);
    }
    return volts;
}

CellSlots MonitorModel::ReadCells(double elapsed_s) {
    const double drift = profile_.drift_volts;
    if (drift > 0.0) {
        std::uniform_real_distribution<double> step(-drift * kDriftStepShare, drift * kDriftStepShare);
        for (auto& off : offset_) off = std::clamp(off + step(rng_), -drift, drift);
    }
    CellSlots slots{};
    for (int i = 0; i < profile_.cells; ++i) slots[i] = ToRaw(CellVolts(i, elapsed_s), profile_.CellScale());
    ++cell_reads_;
    last_cells_ = slots;
    return slots;
}

uint16_t MonitorModel::StringVoltageRaw() const {
    if (profile_.string_volts)
        return ToRaw(*profile_.string_volts + profile_.cells * profile_.offset.volts, profile_.StringScale());
    // The sum of the cells as last reported, so string and cells agree.
    // Summed in raw units and rescaled once, rounding half up, so no
    // floating-point residue decides a reading that lies on a half.
    uint64_t cell_sum = 0;
    for (int i = 0; i < profile_.cells; ++i) cell_sum += last_cells_[i];
    const auto cell_scale = static_cast<uint64_t>(profile_.CellScale());
    const auto string_scale = static_cast<uint64_t>(profile_.StringScale());
    const uint64_t raw = (cell_sum * string_scale + cell_scale / 2) / cell_scale;
    return static_cast<uint16_t>(std::min<uint64_t>(raw, static_cast<uint64_t>(kRawMax)));
}

void MonitorModel::Advance(double elapsed_s) {
    if (!battery_) return;
    const auto& b = *profile_.battery;
    const double until = elapsed_s * b.speed;
    // Steps of at most ten of the model's seconds, so a fast model still
    // sees the end voltage within a few millivolts.
    while (battery_s_ < until) {
        const double dt = std::min(10.0, until - battery_s_);
        const double run_s = battery_s_ / b.speed;
        double load = 0.0;
        if (b.test_amps > 0 && run_s >= b.test_start_s && !test_ended_) load = b.test_amps;
        if (profile_.Discharging(run_s)) load = profile_.discharge->amps;
        // The temperature of the step's middle, so a ramp's charge comes
        // out the same however the steps fall.
        battery_->SetTemperature(profile_.TemperatureAt(run_s + dt / 2.0 / b.speed));
        battery_->Step(dt, load, load == 0.0);
        battery_s_ += dt;
        if (load > 0 && b.test_amps > 0 && !test_ended_) {
            for (int i = 0; i < battery_->Blocks() && !end_seen_s_; ++i)
                if (battery_->BlockVolts(i) <= b.end_v) end_seen_s_ = battery_s_ / b.speed;
            if (end_seen_s_ && battery_s_ / b.speed >= *end_seen_s_ + b.end_hold_s) test_ended_ = true;
        }
    }
    // Its truth is told at the present temperature.
    battery_->SetTemperature(profile_.TemperatureAt(elapsed_s));
}

std::string MonitorModel::Truth() const {
    if (!battery_) return "";
    auto list = [&](auto value, double scale) {
        std::string out = "[";
        char buf[32];
        for (int i = 0; i < battery_->Blocks(); ++i) {
            std::snprintf(buf, sizeof buf, "%s%.4f", i ? "," : "", value(i) * scale);
            out += buf;
        }
        return out + "]";
    };
    char tail[128];
    std::snprintf(tail, sizeof tail, ",\"current_a\":%.3f,\"battery_s\":%.1f,\"test\":\"%s\"", battery_->Current(),
                  battery_s_, TestState());
    return "\"soc\":" + list([&](int i) { return battery_->Soc(i); }, 1.0) +
           ",\"capacity_ah\":" + list([&](int i) { return battery_->CapacityAh(i); }, 1.0) +
           ",\"resistance_mohm\":" + list([&](int i) { return battery_->ResistanceOhms(i); }, 1000.0) + tail;
}

const char* MonitorModel::TestState() const {
    if (!battery_) return "none";
    const auto& b = *profile_.battery;
    if (b.test_amps <= 0) return "none";
    if (test_ended_) return "ended";
    return battery_s_ / b.speed >= b.test_start_s ? "running" : "none";
}

uint16_t MonitorModel::CurrentRaw(double elapsed_s) const {
    double amps = battery_ ? battery_->Current() : profile_.CurrentAt(elapsed_s);
    if (profile_.CurrentStuck(elapsed_s)) amps = profile_.stuck_current->amps;
    amps += profile_.offset.amps;
    if (profile_.current_sensor) return ToRaw(kSensorZeroRaw + amps * kSensorRawPerAmp, 1.0);
    return ToRaw(amps, kAmpsScale);
}

uint16_t MonitorModel::TemperatureRaw(double elapsed_s) const {
    return ToRaw(profile_.TemperatureAt(elapsed_s) + profile_.offset.degrees, kDegreesScale);
}

std::optional<MonitorModel::Reply> MonitorModel::Answer(uint8_t command, double elapsed_s) {
    Advance(elapsed_s);
    Reply reply;
    reply.command = command;
    switch (command) {
        case monitor::kCmdCellVoltages: {
            const CellSlots slots = ReadCells(elapsed_s);
            reply.raw.assign(slots.begin(), slots.end());
            reply.frame = ToFrame(monitor::BuildLongReply(addr_, slots));
            return reply;
        }
        case monitor::kCmdStringVoltage:
            reply.raw = {StringVoltageRaw()};
            break;
        case monitor::kCmdCurrent:
            reply.raw = {CurrentRaw(elapsed_s)};
            break;
        case monitor::kCmdTemperature:
            reply.raw = {TemperatureRaw(elapsed_s)};
            break;
        default:
            return std::nullopt;
    }
    reply.frame = ToFrame(monitor::BuildShortReply(addr_, reply.raw.front()));
    return reply;
}

}  // namespace monitor_sim
