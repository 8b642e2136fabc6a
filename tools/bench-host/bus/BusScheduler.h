#pragma once
// The host's side of one serial bus with one or more monitors on it.  The
// bus is given to one device at a time: a device idle at its poll time gets
// a tick and starts a cycle; while it waits for a reply it gets a tick only
// when the reply is overdue, since a tick while the reply is still arriving
// would make it resend; after the resends a cycle allows, the cycle counts
// as timed out and the bus moves on.
//
// The rules of the bus live in pure parts, each with its own table:
//   LineReader        gathers each reply by the length its request calls for
//   ExchangeTracker   the account of requests: deadlines, replies owed, how
//                     late they came, how soon the monitors answer
//   ReplyAttribution  which request a frame answers, by the line's timeline
//   LateAnswers       what a late reply, or an answer naming another
//                     monitor, then becomes
//   QuietGuard        how long the line stays quiet after an exchange went
//                     wrong, learnt from the lateness measured
//   RoundHold         a device's round, held until the bus shows it in step,
//                     then stored or dropped
//   PortKeeper        the port's outages, and what one does to the exchanges
//   PollPlan          whose turn it is (ticks, probes, reruns)
// This class moves bytes between the port, those parts and the devices,
// at the times it is given, and keeps each device's cycle (DeviceCycle).
//
// One rule stays here, since it spans the line's time after an exchange:
// a reply refused while its monitor owed nothing is judged once the line is
// quiet, and a second reply's worth of bytes behind it makes it "two
// answers" (two monitors answering one request interleave their bytes and
// spoil the frame as a faulty line would).
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "basics/TimeStamp.h"
#include "bus/BusDevice.h"
#include "bus/DeviceCycle.h"
#include "bus/ExchangeTracker.h"
#include "bus/LateAnswers.h"
#include "bus/LineReader.h"
#include "bus/PollPlan.h"
#include "bus/PortKeeper.h"
#include "bus/QuietGuard.h"
#include "bus/ReplyAttribution.h"
#include "bus/RoundHold.h"

class RunEvents;
class BusPort;

class BusScheduler {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        double tick_period = 2.0;
        int response_margin_ms = 100;
        int frame_gap_ms = 20;
        // Quiet line needed after a reply timeout before the next request;
        // without it, the guard follows the latest reply measured.
        std::optional<int> quiet_guard_ms;
        bool echo = false;
        // Time between the probes of a device that is not answering.
        int probe_interval_ms = 5000;
        // Cycles of each device after which it is polled no more (--rounds);
        // 0: no limit.
        long cycle_limit = 0;
    };

    BusScheduler(BusPort& port, int32_t speed, const Options& options, RunEvents& events);

    void Add(BusDevice* d);
    // Called with a device's round once the bus has shown it in step, to
    // check and store it; the round is then published.
    using Keeper = std::function<void(BusDevice&, const RoundHold::Round&)>;
    void OnKeep(Keeper keep) { keep_ = std::move(keep); }
    const std::vector<BusDevice*>& Devices() const { return devices_; }
    bool PortOpen() const { return !keeper_.Down(); }
    int Fd() const;
    const std::string& Path() const;
    // Times the port was lost, and for how long in all (an outage still
    // going counts up to now).
    int Outages() const { return keeper_.Outages(); }
    Clock::duration OutageTime(Clock::time_point now) const { return keeper_.OutageTime(now); }
    // The quiet guard that would have covered the latest reply measured.
    std::optional<std::chrono::milliseconds> GuardNeeded() const;

    // First cycles are due at once, in the order the devices were added.
    void Start(Clock::time_point now);
    // When Service must run next at the latest.
    Clock::time_point NextWake(Clock::time_point now) const;
    // Bytes are waiting on the port (or it hung up).
    void OnReadable(Clock::time_point now, bool hangup);
    // Timers: reopening, overdue replies, the quiet guard, due polls, and
    // the devices' health as time passes.
    void Service(Clock::time_point now);

    // Polling has stopped: rounds still waiting for a second answer wait
    // out their time (at most a response timeout): FinishBy says until when
    // (none: nothing waits), and Finish, called then, reads what came
    // meanwhile and keeps those left in step.  The caller keeps the time.
    std::optional<Clock::time_point> FinishBy() const;
    void Finish(Clock::time_point now);

    // Host calls made by the device that owns the bus, during its call.
    void DeviceSent(BusDevice& d, const uint8_t* data, std::size_t len);
    void DeviceStartedCycle(BusDevice& d);
    // A threshold check the device asked for in its round.
    void DeviceChecked(BusDevice& d, RoundHold::Check check);
    // The device handed over its round's record, stamped `at`.
    void DeviceCompletedRound(BusDevice& d, const uint8_t* record, std::size_t size, TimeStamp at, int64_t mono_ms);

    // The time a cycle of every device takes on the wire at the least: when
    // it is longer than the tick, the tick cannot be held.
    Clock::duration WireCycles() const;
    // How long a reply of reply_len bytes may take after a request.
    Clock::duration ResponseTimeout(int reply_len) const { return tracker_.ResponseTimeout(reply_len); }
    // How long the line must be quiet after a timeout of a request that
    // awaited reply_len bytes.
    Clock::duration QuietGuard(int reply_len) const { return tracker_.Guard(reply_len); }

private:
    DeviceCycle& Of(const BusDevice& d);
    void Take(const LineReader::Out& out, Clock::time_point now);
    void Stray(const LineReader::Out& out, Clock::time_point now);
    // Replies no request explains, or set apart in another monitor's
    // exchange (in_exchange): each monitor's part is judged by the line's
    // timeline (ReplyAttribution), paid against the requests it owes, its
    // lateness told to the device it comes from.  Whether any paid.
    bool Unasked(const std::vector<uint8_t>& bytes, Clock::time_point now, bool in_exchange = false);
    bool UnaskedFrom(const std::vector<uint8_t>& bytes, Clock::time_point now, bool in_exchange);
    // The line's timeline as the attribution of a frame needs it: the
    // request awaited (in an exchange), the requests owed, whether the line
    // is kept quiet (idle: only while guarding).
    ReplyAttribution::Timeline Timeline(bool in_exchange, bool idle) const;
    ReplyAttribution::Verdict Decide(const std::vector<uint8_t>& bytes, Clock::time_point first_byte,
                                     const ReplyAttribution::Timeline& t) const;
    // c's turn on the bus: the late answer it was kept is handed to it as
    // though it came now.
    void TakeLateAnswer(DeviceCycle& c, Clock::time_point now);
    // The replies owed by the monitors other than the one at except (0:
    // every monitor), by the length each owes.
    std::map<uint8_t, LineReader::Owed> OwedFrames(uint8_t except) const;
    void OutOfStep(DeviceCycle& c, const std::string& why);
    // Bytes handed to the device asked, or given up on, that name another
    // monitor: a round it completed while it owed a reply is dropped.
    void Foreign(const std::vector<uint8_t>& bytes, Clock::time_point now);
    // Reads what is waiting on the port, as its readiness would, taking it
    // as come at `seen`.
    void Drain(Clock::time_point seen);
    // When bytes read on a turn of the loop at `now` could first have been
    // seen: at the latest when the loop was due to wake.  A loop held up
    // past that (the process descheduled, another bus's work) would
    // otherwise make a reply that waited on the port look late, and the
    // time the loop was late is no monitor's.
    Clock::time_point Seen(Clock::time_point now);
    // Bytes from the monitor at bus_addr that no request explains: a round
    // of it still waiting for a second answer has had one.
    void Doubted(std::optional<uint8_t> bus_addr, Clock::time_point now);
    // The open round is held until `until` (a round held before it is
    // stored first).
    void Pend(DeviceCycle& c, Clock::time_point now, Clock::time_point until, bool owed);
    void CommitPending(DeviceCycle& c, Clock::time_point now);
    void DropPending(DeviceCycle& c, Clock::time_point now, FailureReason why);
    // The round is kept: counted, checked, stored and shown.
    void Store(DeviceCycle& c, const RoundHold::Round& round, Clock::time_point now);
    void Tick(DeviceCycle& c, Clock::time_point now);
    // more: bytes that came past the reply with it.
    void Deliver(const std::vector<uint8_t>& reply, Clock::time_point now, std::size_t more);
    // The reply refused while its monitor owed nothing is judged, once the
    // line is quiet after it.
    void SettleRefusal(Clock::time_point now);
    void ReplyOverdue(DeviceCycle& c, Clock::time_point now);
    void GuardOver(Clock::time_point now);
    // The device's request got no reply at all: it resends once its monitor
    // may be asked, or its cycle ends when it has resent enough.
    void AfterTimeout(DeviceCycle& c, Clock::time_point now);
    // The devices whose monitors may be asked now.
    std::vector<DeviceCycle*> Askable(Clock::time_point now) const;
    static uint8_t BusAddr(const DeviceCycle& c);
    void Failed(DeviceCycle& c, FailureReason why);
    void EndCycle(DeviceCycle& c, bool completed, Clock::time_point now);
    // The device's open cycle ended without a round.
    void Abandoned(DeviceCycle& c, Clock::time_point now);
    void Drop(DeviceCycle& c, Clock::time_point now);
    void Release(DeviceCycle& c, Clock::time_point now);
    void PortFailed(const std::string& why, Clock::time_point now);
    void TryReopen(Clock::time_point now);
    void CountMissedCycles(Clock::time_point now);
    void AfterDeviceCall(Clock::time_point now);
    DeviceCycle* AtAddress(uint8_t bus_addr) const;
    void Trace(bool sent, const uint8_t* data, std::size_t len, const std::string& note);
    void Publish(BusDevice& d, const std::optional<DeviceHealth::Change>& change);

    BusPort& port_;
    int32_t speed_;
    Options options_;
    RunEvents& events_;
    std::vector<BusDevice*> devices_;
    // What the bus keeps of each device, in the order they were added.
    std::vector<std::unique_ptr<DeviceCycle>> cycles_;
    std::vector<DeviceCycle*> all_;
    Keeper keep_;

    LineReader reader_;
    ExchangeTracker tracker_;
    PortKeeper keeper_;
    PollPlan plan_;
    ::QuietGuard guard_;  // the class; QuietGuard() above is a member
    LateAnswers late_;
    // The time of the turn in progress: host calls made during it happen now.
    Clock::time_point now_{};
    // The time of the last turn: the wake it asked for follows from it.
    Clock::time_point turned_{};
    // The bytes read on this turn are taken as come when the loop was due,
    // which is only the latest they came: they time no answer.
    bool seen_bounded_ = false;

    // The device that owns the bus, and every byte handed to it in the
    // exchange in progress.
    DeviceCycle* active_ = nullptr;
    // The device the late reply just paid off was kept for, if it was.
    DeviceCycle* kept_late_ = nullptr;
    std::vector<uint8_t> exchange_;
    bool delivering_ = false;

    // A reply refused while its monitor owed nothing, judged once the line
    // is quiet: two monitors answering one request at once interleave their
    // bytes and spoil the frame as a faulty line would, and only the bytes
    // that follow it tell them apart (a second answer's worth: two answers).
    struct Refusal {
        DeviceCycle* device = nullptr;
        FailureReason why{};
        std::vector<uint8_t> reply;
        int reply_len = 0;      // 0: the frame does not begin as an answer
        std::size_t bytes = 0;  // all that came for the request from its start byte
    };
    std::optional<Refusal> refused_;

    // Set by the host calls during one device call, read after it.
    bool round_done_ = false;
    bool sent_ = false;
    std::optional<std::string> write_failure_;
};
