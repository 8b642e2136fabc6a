#include "SiteHost.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <stdexcept>

#include "BatteryRecord.h"
#include "ConsoleTap.h"
#include "Hex.h"
#include "HistoryStore.h"
#include "JsonLine.h"
#include "LiveView.h"
#include "PluginLoader.h"
#include "SerialPort.h"
#include "SiteConfig.h"
#include "host/HLXSPDevice.h"

namespace {

// Set from the signal handler; the self-pipe wakes the loop at once.
volatile sig_atomic_t g_stop = 0;
int g_wake_pipe[2] = {-1, -1};

void OnStopSignal(int) {
    g_stop = 1;
    if (g_wake_pipe[1] >= 0) {
        const char c = 's';
        [[maybe_unused]] const ssize_t n = ::write(g_wake_pipe[1], &c, 1);
    }
}

struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string ClockText(bool millis) {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    char buf[48];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    if (!millis) return buf;
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03ld", buf, ts.tv_nsec / 1000000);
    return out;
}

std::string LossText(long cycles, long completed) {
    if (cycles <= 0) return "0%";
    const double loss = 100.0 * static_cast<double>(cycles - completed) / static_cast<double>(cycles);
    char buf[32];
    if (std::fabs(loss - std::round(loss)) < 1e-9)
        std::snprintf(buf, sizeof buf, "%.0f%%", loss);
    else
        std::snprintf(buf, sizeof buf, "%.1f%%", loss);
    return buf;
}

}  // namespace

SiteHost::SiteHost(Options options) : options_(std::move(options)) {}

SiteHost::~SiteHost() {
    // Devices go before the plug-in's providers, and the observer is left
    // in place until no device can call the host any more.
    for (auto& d : devices_) {
        delete d->dev;
        d->dev = nullptr;
    }
    buses_.clear();
    if (tap_) tap_.reset();
    hoststandin::SetObserver(previous_observer_);
}

int SiteHost::Run() {
    try {
        Setup();
    } catch (const SiteConfig::Error& e) {
        std::cerr << "bench-host: " << e.what() << std::endl;
        return kSetupFailed;
    } catch (const std::exception& e) {
        std::cerr << "bench-host: " << e.what() << std::endl;
        return kSetupFailed;
    }
    Restore();
    Loop();
    return Summary();
}

void SiteHost::Setup() {
    SiteConfig site = SiteConfig::Load(options_.config_path);
    if (options_.ports.size() > site.ports.size())
        throw SetupError("more --port options than the site file has ports");
    for (std::size_t i = 0; i < options_.ports.size(); ++i) site.ports[i].path = options_.ports[i];

    plugin_ = std::make_unique<PluginLoader>(
        !options_.plugin.empty() ? options_.plugin : !site.plugin.empty() ? site.plugin : PluginLoader::DefaultPath());

    previous_observer_ = hoststandin::Observer();
    hoststandin::SetObserver(this);

    // Devices first (construction writes nothing), so that the ports can be
    // opened at the speed the devices ask for before anything is printed.
    for (const auto& pc : site.ports) {
        Bus bus;
        bus.port = std::make_unique<SerialPort>(pc.path);
        int32_t speed = 0;
        std::vector<BusDevice*> on_bus;
        for (const auto& dc : pc.devices) {
            auto d = std::make_unique<BusDevice>();
            d->conf = dc;
            d->port_path = pc.path;
            d->dev = plugin_->Create(dc.type);
            if (d->dev == nullptr)
                throw SetupError("the plug-in makes no device of type \"" + dc.type + "\" (device " +
                                 std::to_string(dc.id) + ")");
            for (const auto& [name, limits] : dc.alarms) d->alarms.SetLimits(name, limits);
            if (speed == 0) speed = d->dev->baudrate_;
            if (d->dev->baudrate_ != speed)
                throw SetupError("devices on " + pc.path + " ask for different line speeds");
            on_bus.push_back(d.get());
            devices_.push_back(std::move(d));
        }
        bus.port->Open(speed);
        BusScheduler::Options so;
        so.tick_period = site.tick_period;
        so.response_margin_ms = site.response_margin_ms;
        so.frame_gap_ms = site.frame_gap_ms;
        so.echo = pc.echo;
        bus.scheduler = std::make_unique<BusScheduler>(*bus.port, speed, so, *this);
        for (BusDevice* d : on_bus) bus.scheduler->Add(d);
        buses_.push_back(std::move(bus));
    }

    history_ = std::make_unique<HistoryStore>(options_.db.empty() ? site.history : options_.db,
                                              HistoryStore::Access::kReadWrite);

    // From here on the plug-in's console lines go where the output mode
    // wants them.
    const bool terminal = ::isatty(STDOUT_FILENO) != 0;
    tap_ = std::make_unique<ConsoleTap>([this](const std::string& line) { PluginLine(line); });
    out_ = std::make_unique<std::ostream>(tap_->Original());
    if (!options_.json && !options_.trace && terminal) {
        view_ = std::make_unique<LiveView>(true);
        *out_ << "\x1b[2J" << std::flush;
    }

    // The host stores the configured address and the identifier before the
    // configuration, as on the controller.
    for (auto& d : devices_) {
        d->dev->data_id_ = d->conf.id;
        d->dev->addr_ = d->conf.addr;
        try {
            d->dev->InitSetting(d->conf.config);
        } catch (const std::exception& e) {
            throw SetupError("device " + std::to_string(d->conf.id) + ": configuration refused: " + e.what());
        }
    }
}

void SiteHost::Restore() {
    for (auto& d : devices_) {
        std::optional<HistoryStore::Row> row;
        try {
            row = history_->Newest(d->conf.id);
        } catch (const std::exception& e) {
            Note("device " + std::to_string(d->conf.id) + ": history not readable: " + e.what());
            continue;
        }
        if (!row) continue;
        bool ok = false;
        restoring_ = true;
        try {
            ok = d->dev->LoadFromCache(std::string(row->record.begin(), row->record.end()));
        } catch (const std::exception& e) {
            OnDeviceError(*d, "cache", e.what());
        }
        restoring_ = false;
        if (ok) {
            d->last = BatteryRecord::Decode(row->record.data(), row->record.size());
            d->last_round_at = row->saved_at;
            ProbeCells(*d);
        }
        if (options_.json) {
            JsonLine line;
            line.Str("ev", "restored").UInt("id", d->conf.id).Str("saved_at", row->saved_at).Int("value", ok ? 1 : 0);
            *out_ << line.Text() << std::endl;
        } else {
            Note("device " + std::to_string(d->conf.id) + (ok ? " restored from the round saved at " : " refused the round saved at ") +
                 row->saved_at);
        }
    }
}

bool SiteHost::Done() const {
    if (g_stop) return true;
    if (options_.duration > 0 &&
        std::chrono::steady_clock::now() - started_ >= std::chrono::duration<double>(options_.duration))
        return true;
    if (options_.rounds > 0) {
        for (const auto& d : devices_)
            if (d->completed + d->abandoned < options_.rounds) return false;
        return true;
    }
    return false;
}

void SiteHost::Loop() {
    if (::pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wake_pipe[0] = g_wake_pipe[1] = -1;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    struct sigaction old_int {}, old_term {};
    ::sigaction(SIGINT, &sa, &old_int);
    ::sigaction(SIGTERM, &sa, &old_term);

    started_ = std::chrono::steady_clock::now();
    for (auto& bus : buses_) bus.scheduler->Start(started_);
    Redraw(true);

    while (!Done()) {
        auto now = std::chrono::steady_clock::now();
        for (auto& bus : buses_) bus.scheduler->Service(now);
        if (Done()) break;

        now = std::chrono::steady_clock::now();
        auto wake = now + std::chrono::seconds(1);
        for (auto& bus : buses_) wake = std::min(wake, bus.scheduler->NextWake(now));
        if (options_.duration > 0)
            wake = std::min(wake, started_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                 std::chrono::duration<double>(options_.duration)));

        std::vector<pollfd> fds;
        std::vector<BusScheduler*> owners;
        for (auto& bus : buses_) {
            if (!bus.port->IsOpen()) continue;
            fds.push_back(pollfd{bus.port->Fd(), POLLIN, 0});
            owners.push_back(bus.scheduler.get());
        }
        if (g_wake_pipe[0] >= 0) fds.push_back(pollfd{g_wake_pipe[0], POLLIN, 0});
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
        const int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait) + 1));
        if (n < 0 && errno != EINTR) break;
        now = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < owners.size(); ++i) {
            const short ev = fds[i].revents;
            if (ev & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
                owners[i]->OnReadable(now, (ev & (POLLHUP | POLLERR | POLLNVAL)) != 0);
        }
        Redraw(false);
    }

    ::sigaction(SIGINT, &old_int, nullptr);
    ::sigaction(SIGTERM, &old_term, nullptr);
    for (int& fd : g_wake_pipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

int SiteHost::Summary() {
    Redraw(true);
    int status = kOk;
    for (const auto& d : devices_) {
        if (options_.json) {
            JsonLine line;
            line.Str("ev", "summary").UInt("id", d->conf.id).Int("cycles", d->cycles).Int("completed", d->completed).Int(
                "abandoned", d->abandoned).Int("resends", d->resends).Str("loss", LossText(d->cycles, d->completed));
            *out_ << line.Text() << std::endl;
        } else {
            *out_ << "--- device " << d->conf.id << " on " << d->port_path << " addr " << int(d->conf.addr)
                  << " ---\n"
                  << d->cycles << " cycles, " << d->completed << " completed, " << d->abandoned << " abandoned, "
                  << LossText(d->cycles, d->completed) << " loss" << std::endl;
        }
        if (d->completed == 0) {
            std::cerr << "bench-host: device " << d->conf.id << " never completed a cycle" << std::endl;
            status = kNeverCompleted;
        }
    }
    if (!options_.json) *out_ << "history: " << history_->Path() << std::endl;
    return status;
}

BusDevice* SiteHost::Find(const HLXVDevice& dev) {
    for (auto& d : devices_)
        if (d->dev == &dev) return d.get();
    return nullptr;
}

BusScheduler* SiteHost::SchedulerOf(const BusDevice& d) {
    for (auto& bus : buses_)
        for (BusDevice* on : bus.scheduler->Devices())
            if (on == &d) return bus.scheduler.get();
    return nullptr;
}

void SiteHost::OnSendData(HLXSPDevice& dev, const unsigned char* data, unsigned int len) {
    BusDevice* d = Find(dev);
    if (!d) return;
    if (BusScheduler* s = SchedulerOf(*d)) s->DeviceSent(*d, data, len);
}

void SiteHost::OnSpRefresh(HLXSPDevice& dev) {
    BusDevice* d = Find(dev);
    if (!d) return;
    if (BusScheduler* s = SchedulerOf(*d)) s->DeviceStartedCycle(*d);
}

void SiteHost::OnCheckThreshold(HLXVDevice& dev, const std::string& name, const std::string& label, float value,
                                int /*index*/) {
    BusDevice* d = Find(dev);
    if (!d || restoring_) return;
    for (const auto& c : d->alarms.Evaluate(name, label, value)) {
        HistoryStore::Alarm a;
        a.device_id = d->conf.id;
        a.at = HistoryStore::IsoLocalTime(std::time(nullptr));
        a.name = c.name;
        a.label = c.label;
        a.state = c.raised ? "raised" : "cleared";
        a.bound = c.bound;
        a.value = c.value;
        a.limit = c.limit;
        try {
            history_->SaveAlarm(a);
        } catch (const std::exception& e) {
            std::cerr << "bench-host: " << e.what() << std::endl;
        }
        if (options_.json) {
            JsonLine line;
            line.Str("ev", "alarm").UInt("id", a.device_id).Str("state", a.state).Str("name", a.name).Str("label", a.label).Str(
                "bound", a.bound).Float("value", c.value).Float("limit", c.limit).Str("at", a.at);
            *out_ << line.Text() << std::endl;
        } else {
            Note(std::string(c.raised ? "ALARM " : "CLEAR ") + "device " + std::to_string(a.device_id) + " " + a.label +
                 " (" + a.name + ") " + JsonLine::FormatFloat(c.value) + (c.bound == "low" ? " low limit " : " high limit ") +
                 JsonLine::FormatFloat(c.limit));
        }
    }
}

void SiteHost::OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) {
    BusDevice* d = Find(dev);
    if (!d || restoring_) return;
    const std::string at = HistoryStore::IsoLocalTime(std::time(nullptr));
    try {
        history_->SaveRecord(d->conf.id, data, size, at);
    } catch (const std::exception& e) {
        std::cerr << "bench-host: " << e.what() << std::endl;
    }
    d->last = BatteryRecord::Decode(data, size);
    d->last_round_at = at;
    if (BusScheduler* s = SchedulerOf(*d)) s->DeviceCompletedRound(*d);
}

void SiteHost::ProbeCells(BusDevice& d) {
    // The device answers one value name per cell it has; the first name it
    // does not support ends the count.
    int n = 0;
    for (; n < BatteryRecord::kCells; ++n) {
        try {
            d.dev->Get_Value(0, "battery_" + std::to_string(n) + "_value");
        } catch (const std::out_of_range& e) {
            if (std::string(e.what()) == "不支持变量") break;
        } catch (const std::exception&) {
            break;
        }
    }
    d.cell_count = n;
}

void SiteHost::OnCycleEnd(BusDevice& d, bool completed) {
    dirty_ = true;
    if (!completed || !d.last) return;
    if (d.cell_count == 0) ProbeCells(d);
    const auto& r = *d.last;
    const int cells = d.cell_count > 0 ? d.cell_count : BatteryRecord::kCells;
    if (options_.json) {
        std::string arr = "[";
        for (int i = 0; i < cells; ++i) arr += (i ? "," : "") + JsonLine::FormatFloat(r.cells[i]);
        arr += "]";
        JsonLine line;
        line.Str("ev", "round").UInt("id", d.conf.id).Int("round", d.completed).Str("at", d.last_round_at).Float(
            "group_voltage", r.group_voltage).Float("group_current", r.group_current).Float("temperature", r.temperature).Raw(
            "cells", arr).Int("cycles", d.cycles).Int("abandoned", d.abandoned);
        *out_ << line.Text() << std::endl;
    } else if (!view_) {
        float lo = r.cells[0], hi = r.cells[0];
        for (int i = 0; i < cells; ++i) lo = std::min(lo, r.cells[i]), hi = std::max(hi, r.cells[i]);
        *out_ << ClockText(false) << " device " << d.conf.id << " round " << d.completed << ": string "
              << JsonLine::FormatFloat(r.group_voltage) << " V, current " << JsonLine::FormatFloat(r.group_current)
              << " A, temperature " << JsonLine::FormatFloat(r.temperature) << " °C, " << cells << " cells "
              << JsonLine::FormatFloat(lo) << ".." << JsonLine::FormatFloat(hi) << " V" << std::endl;
    }
}

void SiteHost::OnDeviceError(BusDevice& d, const std::string& op, const std::string& what) {
    Note("device " + std::to_string(d.conf.id) + ": " + op + " failed: " + what);
}

void SiteHost::OnTrace(const std::string& port, bool sent, const uint8_t* data, std::size_t len, const char* note) {
    if (!options_.trace) return;
    std::string line = ClockText(true) + " " + port + (sent ? " > " : " < ") + hex::Spaced(data, len);
    if (note) line += std::string("  (") + note + ")";
    if (options_.json)
        std::cerr << line << std::endl;
    else
        *out_ << line << std::endl;
}

void SiteHost::OnPortEvent(const std::string& port, const std::string& text) {
    if (options_.json) {
        JsonLine line;
        line.Str("ev", "port").Str("path", port).Str("what", text);
        *out_ << line.Text() << std::endl;
    } else {
        Note("port " + port + " " + text);
    }
}

void SiteHost::Note(const std::string& line) {
    if (view_) {
        view_->AddEvent(ClockText(false) + " " + line);
        dirty_ = true;
    } else if (options_.json) {
        std::cerr << line << std::endl;
    } else {
        *out_ << ClockText(false) << " " << line << std::endl;
    }
}

void SiteHost::PluginLine(const std::string& line) {
    if (view_) {
        view_->AddEvent("plug-in: " + line);
        dirty_ = true;
    } else if (options_.json) {
        std::cerr << "plug-in: " << line << std::endl;
    } else {
        *out_ << "plug-in: " << line << std::endl;
    }
}

void SiteHost::Redraw(bool force) {
    if (!view_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && !(dirty_ && now - last_draw_ >= std::chrono::milliseconds(200)) &&
        now - last_draw_ < std::chrono::seconds(1))
        return;
    std::vector<const BusDevice*> list;
    for (const auto& d : devices_) list.push_back(d.get());
    view_->Draw(*out_, list, ClockText(false));
    last_draw_ = now;
    dirty_ = false;
}
