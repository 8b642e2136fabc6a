#include "BusBench.h"

#include <gtest/gtest.h>

#include <json/value.h>

#include <algorithm>
#include <iostream>
#include <variant>

#include "models/UPSBattery29.h"
#include "protocol/MonitorProtocol.h"

namespace busbench {

namespace {

// Turns at one time before the bench takes the scheduler to be stuck: it
// asked to be woken now and did nothing that moves it on.
constexpr int kMaxTurnsAtOneTime = 100;

// The bench's clock starts well clear of the clock's epoch.
const Clock::time_point kStart{std::chrono::hours(1)};

}  // namespace

void FakeLine::Open(int32_t line_speed) {
    ++open_calls;
    if (refuse_opens > 0) {
        --refuse_opens;
        throw Error(path_ + ": No such file or directory");
    }
    open = true;
    speed = line_speed;
}

void FakeLine::Close() {
    open = false;
    waiting_.clear();
}

void FakeLine::Write(const uint8_t* data, std::size_t len) {
    if (!open) {
        ++used_while_closed;
        throw Error(path_ + ": not open");
    }
    if (fail_writes > 0) {
        --fail_writes;
        throw Error(path_ + ": Input/output error");
    }
    written.emplace_back(data, data + len);
}

std::size_t FakeLine::Read(uint8_t* buf, std::size_t len) {
    if (!open) {
        ++used_while_closed;
        throw Error(path_ + ": not open");
    }
    if (waiting_.empty()) return 0;
    Bytes& chunk = waiting_.front();
    const std::size_t n = std::min(len, chunk.size());
    std::copy_n(chunk.begin(), n, buf);
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (chunk.empty()) waiting_.pop_front();
    return n;
}

void FakeLine::Arrive(Bytes chunk) {
    if (open && !chunk.empty()) waiting_.push_back(std::move(chunk));
}

Bytes Reply(uint8_t addr, uint8_t command, const Readings& r) {
    switch (command) {
        case monitor::kCmdCellVoltages: {
            monitor::CellSlots slots;
            slots.fill(r.cell);
            for (const auto& [slot, raw] : r.slots) slots.at(static_cast<std::size_t>(slot)) = raw;
            const auto f = monitor::BuildLongReply(addr, slots);
            return Bytes(f.begin(), f.end());
        }
        case monitor::kCmdStringVoltage: {
            const auto f = monitor::BuildShortReply(addr, r.string_voltage);
            return Bytes(f.begin(), f.end());
        }
        case monitor::kCmdCurrent: {
            const auto f = monitor::BuildShortReply(addr, r.current);
            return Bytes(f.begin(), f.end());
        }
        case monitor::kCmdTemperature: {
            const auto f = monitor::BuildShortReply(addr, r.temperature);
            return Bytes(f.begin(), f.end());
        }
        default:
            return {};
    }
}

void EventLog::OnEvent(const RunEvent& event) {
    std::visit(Overloaded{
                   [this](const run::Trace& t) { notes.push_back(t.note); },
                   [this](const run::PortLost& e) { lost.push_back(e); },
                   [this](const run::PortReopened& e) { reopened.push_back(e); },
                   [this](const run::HealthChanged& e) { health.push_back(HealthAt{e.device, e.change, *clock}); },
                   [this](const run::DeviceCallFailed&) { ++device_call_failures; },
                   [](const auto&) {},
               },
               event);
}

Bench::Bench(BusScheduler::Options options, int count)
    : scheduler(line, Battery::kLineSpeed, options, events),
      start_(kStart),
      now_(kStart),
      previous_(hoststandin::Observer()),
      cout_(std::cout.rdbuf(console_.rdbuf())) {
    // The plug-in writes a console line every round; a run taps them, the
    // bench keeps them out of the test's output.
    hoststandin::SetObserver(this);
    log.clock = &now_;
    events.Subscribe(log);
    line.Open(Battery::kLineSpeed);
    const DeviceHealth::Moment begun{start_, std::chrono::system_clock::time_point{} + start_.time_since_epoch()};
    for (int i = 0; i < count; ++i) {
        auto plug = std::make_unique<UPSBattery29>();
        auto d = std::make_unique<BusDevice>();
        d->conf.id = static_cast<uint32_t>(100 + i);
        d->conf.addr = static_cast<uint8_t>(i + 1);
        d->port_path = line.Path();
        d->health = DeviceHealth(begun);
        // As the host does: the configured address and the identifier
        // first, then the configuration.
        plug->data_id_ = d->conf.id;
        plug->addr_ = d->conf.addr;
        plug->InitSetting(Json::Value(Json::objectValue));
        EXPECT_EQ(plug->baudrate_, line.speed);
        d->dev = plug.get();
        scheduler.Add(d.get());
        plugs_.push_back(std::move(plug));
        devices.push_back(std::move(d));
        monitors_.push_back([](const Asked& a) { return Whole(a); });
    }
    cycle_starts.resize(devices.size());
    scheduler.OnKeep([this](BusDevice& d, const RoundHold::Round& round) {
        const auto record =
            BatteryRecord::Decode(round.record.data(), round.record.size(), round.invalid.Mask(d.reply_layout));
        if (!record) {
            ADD_FAILURE() << "a round kept without a whole record";
            return;
        }
        kept.push_back(Kept{IndexOf(*d.dev), now_, *record});
    });
}

Bench::~Bench() {
    hoststandin::SetObserver(previous_);
    std::cout.rdbuf(cout_);
}

std::vector<Piece> Bench::Whole(const Asked& a, const Readings& r) {
    return {Piece{kTurnaround, Reply(a.addr, a.command, r)}};
}

uint8_t Bench::BusAddr(std::size_t i) const { return monitor::BusAddress(devices.at(i)->conf.addr); }

void Bench::At(Clock::duration from_start, std::function<void()> what) {
    timeline_.emplace(start_ + from_start, [what](bool&, bool&) { what(); });
}

void Bench::HangUpAt(Clock::duration from_start) {
    timeline_.emplace(start_ + from_start, [](bool&, bool& hangup) { hangup = true; });
}

void Bench::ArriveAt(Clock::duration from_start, Bytes bytes, bool seen) {
    timeline_.emplace(start_ + from_start, [this, bytes, seen](bool& readable, bool&) {
        line.Arrive(bytes);
        readable = readable || seen;
    });
}

void Bench::StallAt(Clock::duration from_start, Clock::duration length) {
    stalls_[start_ + from_start] = start_ + from_start + length;
}

void Bench::RunFor(Clock::duration until) {
    const Clock::time_point end = start_ + until;
    if (!started_) {
        started_ = true;
        scheduler.Start(now_);
    }
    int turns_now = 0;
    for (;;) {
        Clock::time_point next = scheduler.NextWake(now_);
        if (!timeline_.empty()) next = std::min(next, timeline_.begin()->first);
        for (const auto& [from, to] : stalls_)
            if (next >= from && next < to) next = to;
        if (next < now_) {
            ADD_FAILURE() << "asked to be woken in the past, at " << Since(next).count() << " ms";
            return;
        }
        if (next > end) {
            now_ = end;
            return;
        }
        turns_now = next == now_ ? turns_now + 1 : 0;
        if (turns_now > kMaxTurnsAtOneTime) {
            ADD_FAILURE() << "the scheduler keeps asking to be woken at " << Since(now_).count() << " ms";
            return;
        }
        now_ = next;
        bool readable = false;
        bool hangup = false;
        while (!timeline_.empty() && timeline_.begin()->first <= now_) {
            const auto what = timeline_.begin()->second;
            timeline_.erase(timeline_.begin());
            what(readable, hangup);
        }
        Turn(readable, hangup);
    }
}

void Bench::Turn(bool readable, bool hangup) {
    // As the run's loop: bytes (or the hang-up) first, then the timers.
    if ((readable || hangup) && scheduler.PortOpen()) {
        scheduler.OnReadable(now_, hangup);
        Answer();
    }
    scheduler.Service(now_);
    Answer();
}

void Bench::Answer() {
    for (; answered_ < line.written.size(); ++answered_) {
        const Bytes& bytes = line.written[answered_];
        Sent s{now_, 0, 0, bytes};
        monitor::ParseRequest(bytes.data(), static_cast<int>(bytes.size()), &s.addr, &s.command);
        sent.push_back(s);
        if (echo) ArriveAt(now_ - start_, bytes);
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (BusAddr(i) != s.addr || s.command == 0) continue;
            const Asked a{s.addr, s.command, asked_[s.addr]++, asked_command_[{s.addr, s.command}]++, now_};
            for (const Piece& p : monitors_[i](a)) ArriveAt(now_ - start_ + p.after, p.bytes, p.seen);
        }
    }
}

std::size_t Bench::IndexOf(const HLXVDevice& dev) const {
    for (std::size_t i = 0; i < devices.size(); ++i)
        if (devices[i]->dev == &dev) return i;
    ADD_FAILURE() << "a host call from a device not on the bus";
    return devices.size();
}

void Bench::OnSendData(HLXSPDevice& dev, const unsigned char* data, unsigned int len) {
    const std::size_t i = IndexOf(dev);
    if (i < devices.size()) scheduler.DeviceSent(*devices[i], data, len);
}

void Bench::OnSpRefresh(HLXSPDevice& dev) {
    const std::size_t i = IndexOf(dev);
    if (i >= devices.size()) return;
    cycle_starts[i].push_back(now_);
    scheduler.DeviceStartedCycle(*devices[i]);
}

void Bench::OnSaveHistory(HLXVDevice& dev, const unsigned char* data, unsigned int size) {
    const std::size_t i = IndexOf(dev);
    if (i >= devices.size()) return;
    scheduler.DeviceCompletedRound(*devices[i], data, size, TimeStamp{}, 0);
}

std::vector<Sent> Bench::SentTo(std::size_t device) const {
    std::vector<Sent> out;
    for (const Sent& s : sent)
        if (s.addr == BusAddr(device)) out.push_back(s);
    return out;
}

std::vector<Kept> Bench::KeptOf(std::size_t device) const {
    std::vector<Kept> out;
    for (const Kept& k : kept)
        if (k.device == device) out.push_back(k);
    return out;
}

}  // namespace busbench
