#include "bus/BusScheduler.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <utility>

#include "events/RunEvents.h"
#include "bus/BusPort.h"
#include "host/HLXSPDevice.h"
#include "protocol/MonitorProtocol.h"
#include "site/ReplyLayout.h"

namespace {

using Moment = DeviceHealth::Moment;

// A device call that throws must not take the bus down with it: the
// failure is told and the bus goes on.
template <class Call>
void CallDevice(RunEvents& events, BusDevice& d, const char* what, Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        events.Publish(run::DeviceCallFailed{&d, what, e.what()});
    } catch (...) {
        events.Publish(run::DeviceCallFailed{&d, what, "unknown exception"});
    }
}

template <class D>
std::chrono::milliseconds Ms(D d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d);
}

}  // namespace

BusScheduler::BusScheduler(BusPort& port, int32_t speed, const Options& options, RunEvents& events)
    : port_(port),
      speed_(speed),
      options_(options),
      events_(events),
      reader_(LineReader::Options{options.echo, std::chrono::milliseconds(options.frame_gap_ms)}),
      tracker_(ExchangeTracker::Options{
          speed, std::chrono::milliseconds(options.response_margin_ms),
          options.quiet_guard_ms ? std::optional<Clock::duration>(std::chrono::milliseconds(*options.quiet_guard_ms))
                                 : std::nullopt}),
      plan_(PollPlan::Options{
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.tick_period)),
          std::chrono::milliseconds(options.probe_interval_ms), options.cycle_limit}) {
    if (port_.Fd() >= 0 && !port_.WireTime()) tracker_.WithoutWireTime();
}

void BusScheduler::Add(BusDevice* d) {
    d->bus = this;
    d->reply_layout = ReplyLayout::Of(d->conf);
    d->tick_period = options_.tick_period;
    devices_.push_back(d);
    cycles_.push_back(std::make_unique<DeviceCycle>(*d));
    all_.push_back(cycles_.back().get());
}

DeviceCycle& BusScheduler::Of(const BusDevice& d) {
    for (DeviceCycle* c : all_)
        if (&c->device == &d) return *c;
    throw std::logic_error("a device not on this bus");
}

int BusScheduler::Fd() const { return port_.Fd(); }

const std::string& BusScheduler::Path() const { return port_.Path(); }

std::optional<std::chrono::milliseconds> BusScheduler::GuardNeeded() const {
    const auto latest = tracker_.LatestReply();
    if (!latest) return std::nullopt;
    return ::QuietGuard::Advised(*latest);
}

void BusScheduler::Trace(bool sent, const uint8_t* data, std::size_t len, const std::string& note) {
    events_.Publish(run::Trace{port_.Path(), sent, std::vector<uint8_t>(data, data + len), note, run::WallClock::now()});
}

void BusScheduler::Publish(BusDevice& d, const std::optional<DeviceHealth::Change>& change) {
    if (change) events_.Publish(run::HealthChanged{&d, *change});
}

uint8_t BusScheduler::BusAddr(const DeviceCycle& c) {
    return monitor::BusAddress(static_cast<uint8_t>(c.device.conf.addr));
}

std::vector<DeviceCycle*> BusScheduler::Askable(Clock::time_point now) const {
    std::vector<DeviceCycle*> out;
    for (DeviceCycle* c : all_)
        if (tracker_.MayAsk(BusAddr(*c), now)) out.push_back(c);
    return out;
}

DeviceCycle* BusScheduler::AtAddress(uint8_t bus_addr) const {
    for (DeviceCycle* c : all_)
        if (BusAddr(*c) == bus_addr) return c;
    return nullptr;
}

BusScheduler::Clock::duration BusScheduler::WireCycles() const {
    Clock::duration cycle{};
    for (const uint8_t command : {monitor::kCmdCellVoltages, monitor::kCmdStringVoltage, monitor::kCmdCurrent,
                                  monitor::kCmdTemperature})
        cycle += tracker_.WireTime(monitor::ReplyLength(command));
    return cycle * static_cast<int>(devices_.size());
}

void BusScheduler::Start(Clock::time_point now) {
    now_ = now;
    turned_ = now;
    plan_.Start(all_, now);
    const Clock::duration need = WireCycles();
    if (need > plan_.Period()) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "port %s: %zu devices take %.2f s a cycle on the wire at %d bit/s, more than the tick of %g s; "
                      "the tick this bus can hold is %.2f s at the least",
                      port_.Path().c_str(), devices_.size(), std::chrono::duration<double>(need).count(), speed_,
                      options_.tick_period, std::chrono::duration<double>(need).count());
        events_.Publish(run::SetupWarning{text});
    }
}

BusScheduler::Clock::time_point BusScheduler::NextWake(Clock::time_point now) const {
    Clock::time_point wake = now + std::chrono::seconds(1);
    if (keeper_.Down()) {
        wake = std::min(wake, keeper_.ReopenAt());
        wake = plan_.Earliest(all_, wake);  // counted as missed
    } else if (guard_.Active()) {
        wake = std::min(wake, guard_.Until());
    } else if (active_) {
        if (const auto gap = reader_.NextWake()) wake = std::min(wake, *gap);
        if (tracker_.Outstanding()) wake = std::min(wake, tracker_.Deadline());
    } else {
        // A monitor that owes a reply is due once it may be asked.
        for (DeviceCycle* c : all_)
            wake = std::min(wake, std::max(plan_.Earliest({c}, wake), tracker_.AskNotBefore(BusAddr(*c))));
    }
    for (const DeviceCycle* c : all_)
        if (const auto until = c->rounds.Until()) wake = std::min(wake, *until);
    return std::max(wake, now);
}

void BusScheduler::OnReadable(Clock::time_point now, bool hangup) {
    if (keeper_.Down()) return;
    const Clock::time_point seen = Seen(now);
    now_ = now;
    Drain(seen);
    if (hangup && !keeper_.Down()) PortFailed("the line hung up", now);
}

BusScheduler::Clock::time_point BusScheduler::Seen(Clock::time_point now) {
    // Nothing has changed since the last turn: the wake it asked for is
    // what NextWake says of that turn.
    const Clock::time_point due = NextWake(turned_);
    turned_ = now;
    seen_bounded_ = due < now;
    return std::min(now, due);
}

void BusScheduler::Drain(Clock::time_point seen) {
    uint8_t buf[256];
    try {
        for (;;) {
            if (keeper_.Down()) return;
            const std::size_t n = port_.Read(buf, sizeof buf);
            if (n == 0) break;
            Take(reader_.Feed(buf, n, seen), seen);
        }
    } catch (const BusPort::Error& e) {
        PortFailed(e.what(), now_);
    }
}

std::optional<BusScheduler::Clock::time_point> BusScheduler::FinishBy() const {
    std::optional<Clock::time_point> until;
    for (const DeviceCycle* c : all_)
        if (const auto held = c->rounds.Until()) until = std::max(until.value_or(*held), *held);
    return until;
}

void BusScheduler::Finish(Clock::time_point now) {
    if (refused_) SettleRefusal(now_);
    const auto until = FinishBy();
    if (!until) return;
    now = std::max(now, *until);
    now_ = now;
    if (!keeper_.Down()) Drain(now);
    for (DeviceCycle* c : all_)
        if (c->rounds.Holding()) CommitPending(*c, now);
}

void BusScheduler::Doubted(std::optional<uint8_t> bus_addr, Clock::time_point now) {
    DeviceCycle* c = bus_addr ? AtAddress(*bus_addr) : nullptr;
    if (!c) return;
    if (const auto why = c->rounds.Spoiled(RoundHold::Touch::kUnexplained, tracker_.OwesNothingLately(*bus_addr, now)))
        DropPending(*c, now, *why);
}

void BusScheduler::Take(const LineReader::Out& out, Clock::time_point now) {
    if (!out.echo.empty()) Trace(false, out.echo.data(), out.echo.size(), "echo");
    if (out.first_byte && active_ && !tracker_.FirstByte(now, seen_bounded_)) {
        // From the monitor asked, owing nothing: the answer of a second
        // monitor at its address to the request before.
        const LineReader::Bytes& bytes = out.reply.empty() ? reader_.Gathered() : out.reply;
        if (LineReader::ReplyAddress(bytes) == tracker_.Addr() && tracker_.OwesNothingLately(tracker_.Addr(), now))
            active_->cycle_two_answers = true;
        OutOfStep(*active_, "sooner than the monitor answers");
    }
    for (const LineReader::Bytes& late : out.owed) {
        // Set apart by the length the monitor it names owes, in the time of
        // the asked monitor's reply: only its timing can make it that
        // monitor's late reply; by the timeline it is the asked one's.  It
        // is paid off either way, and the answer awaited is read after it.
        const auto v = Decide(late, now, Timeline(true, false));
        Unasked(late, now, true);
        const auto set_apart = LateAnswers::InExchange(v.kind, late.size(), tracker_.ReplyLen());
        if (set_apart == LateAnswers::SetApart::kOthersLateReply) {
            Trace(false, late.data(), late.size(), "late reply of another monitor, set aside");
            if (DeviceCycle* from = v.monitor ? AtAddress(*v.monitor) : nullptr) Failed(*from, FailureReason::kLateReply);
        } else {
            Trace(false, late.data(), late.size(), "another monitor's address while this one's reply is due, dropped");
            if (active_) Failed(*active_, FailureReason::kAddress);
            if (set_apart == LateAnswers::SetApart::kAnswerAsAnother) late_.AnsweredAsAnother();
        }
    }
    if (!out.reply.empty()) Trace(false, out.reply.data(), out.reply.size(), "");
    if (!out.surplus.empty()) {
        if (const auto addr = LineReader::ReplyAddress(out.surplus)) {
            // A second reply to one request: one of them answers another.
            Trace(false, out.surplus.data(), out.surplus.size(), "more than was asked, dropped");
            DeviceCycle* owner = active_;
            // Owed nothing, the monitor asked answered twice: a second
            // monitor at its address answered too.
            if (owner && owner == active_ && *addr == tracker_.Addr() && tracker_.OwesNothingLately(*addr, now))
                owner->cycle_two_answers = true;
            if (owner) OutOfStep(*owner, "more than was asked");
            Doubted(addr, now);
            Unasked(out.surplus, now);
        } else {
            Trace(false, out.surplus.data(), out.surplus.size(), "noise after the reply, dropped");
        }
    }
    if (!out.reply.empty()) Deliver(out.reply, now, out.surplus.size());
    if (!out.stray.empty()) Stray(out, now);
}

void BusScheduler::Foreign(const std::vector<uint8_t>& bytes, Clock::time_point now) {
    const auto addr = LineReader::ReplyAddress(bytes);
    if (!addr || *addr == tracker_.Addr()) return;
    // From a monitor whose round waits while it owes a reply: that round's
    // replies were not all its own.
    DeviceCycle* from = AtAddress(*addr);
    if (!from) return;
    if (const auto why = from->rounds.Spoiled(RoundHold::Touch::kItsReply, false)) DropPending(*from, now, *why);
}

void BusScheduler::OutOfStep(DeviceCycle& c, const std::string& why) {
    if (!c.cycle_out_of_step) events_.Publish(run::Trace{port_.Path(), false, {}, "out of step: " + why, run::WallClock::now()});
    c.cycle_out_of_step = true;
    if (const auto dropped = c.rounds.Spoiled(RoundHold::Touch::kOutOfStep, false)) DropPending(c, now_, *dropped);
}

std::map<uint8_t, LineReader::Owed> BusScheduler::OwedFrames(uint8_t except) const {
    std::map<uint8_t, LineReader::Owed> owed;
    for (const auto& [from, frames] : tracker_.OwedElsewhere(except))
        owed[from] = LineReader::Owed{frames.reply_len, frames.count};
    return owed;
}

ReplyAttribution::Timeline BusScheduler::Timeline(bool in_exchange, bool idle) const {
    ReplyAttribution::Timeline t;
    if (in_exchange && tracker_.Outstanding())
        t.awaited = ReplyAttribution::Awaited{tracker_.Addr(), tracker_.ReplyLen(), tracker_.SentAt()};
    t.quickest = tracker_.JudgedQuickest();
    t.quiet = guard_.Active() || !idle;
    for (const auto& [addr, owing] : tracker_.Debts()) {
        ReplyAttribution::Debt& debt = t.owed[addr];
        debt.count = owing.count;
        debt.reply_len = owing.reply_len;
        debt.sole = owing.sole.has_value();
        // Its device waits to resend the very request owed, with nothing of
        // its cycle in doubt.
        const DeviceCycle* c = AtAddress(addr);
        debt.resend_waits = c && owing.sole && c != active_ && c->cycle_open && !c->cycle_out_of_step &&
                            !c->rounds.Holding() && c->late_answer.empty() && owing.sole->sent == c->request_sent_at;
    }
    return t;
}

ReplyAttribution::Verdict BusScheduler::Decide(const std::vector<uint8_t>& bytes, Clock::time_point first_byte,
                                               const ReplyAttribution::Timeline& t) const {
    ReplyAttribution::Frame f;
    f.addr = LineReader::ReplyAddress(bytes);
    f.len = bytes.size();
    f.well_formed = f.addr && monitor::AcceptReply(bytes.data(), static_cast<int>(bytes.size()),
                                                   static_cast<int>(bytes.size()), *f.addr);
    f.first_byte = first_byte;
    return ReplyAttribution::Decide(f, t);
}

void BusScheduler::TakeLateAnswer(DeviceCycle& c, Clock::time_point now) {
    std::vector<uint8_t> reply;
    reply.swap(c.late_answer);
    active_ = &c;
    // The request went out long ago and its lateness is measured; the
    // account takes it as answered now, timing nothing by it.
    tracker_.Sent(BusAddr(c), static_cast<int>(reply.size()), now);
    reader_.Forget();
    Deliver(reply, now, 0);
}

bool BusScheduler::Unasked(const std::vector<uint8_t>& bytes, Clock::time_point now, bool in_exchange) {
    // Each monitor's replies pay its own requests.
    const auto parts = LineReader::ByMonitor(bytes, OwedFrames(0));
    bool paid = false;
    for (const auto& part : parts) paid = UnaskedFrom(part, now, in_exchange) || paid;
    return paid;
}

bool BusScheduler::UnaskedFrom(const std::vector<uint8_t>& bytes, Clock::time_point now, bool in_exchange) {
    const auto addr = LineReader::ReplyAddress(bytes);
    DeviceCycle* own = addr ? AtAddress(*addr) : nullptr;
    // Decided before the debt is paid: the debt is what makes it an answer.
    const auto verdict = Decide(bytes, now, Timeline(in_exchange, !in_exchange && !delivering_ && !active_));
    const auto late = tracker_.Unexplained(addr, now, LineReader::Replies(bytes));
    if (LateAnswers::Kept(verdict.kind, own != nullptr, late.has_value(), tracker_.LastAmbiguous())) {
        own->late_answer = bytes;
        kept_late_ = own;
    }
    // A frame in another's time tells nothing sure of the monitor it names:
    // its lateness is not that monitor's; yet a round that monitor holds
    // while it owes may have lost this reply, and it owes no more.
    const bool in_doubt = verdict.kind == ReplyAttribution::Kind::kDoubtful && verdict.why == ReplyAttribution::Doubt::kAddress;
    DeviceCycle* from = own;
    if (!from && !in_doubt) from = guard_.TimedOut();
    if (late && from && !in_doubt) from->device.health.ReplyLate(Ms(*late));
    if (addr && from && from == AtAddress(*addr)) {
        if (const auto why = from->rounds.Spoiled(RoundHold::Touch::kItsReply, false)) DropPending(*from, now, *why);
        // Owing nothing more, it may be asked once the rest of this has passed.
        if (tracker_.Owed(*addr) == 0 && !tracker_.MayAsk(*addr, now))
            tracker_.Bar(*addr, now + std::chrono::milliseconds(options_.frame_gap_ms));
    }
    if (in_doubt) return late.has_value();
    // This reply raised the guard: the summary says when, and by whose.
    if (late && from && tracker_.Raised() && tracker_.Raised()->at == now)
        from->device.guard_raised = BusDevice::GuardRaise{Moment::At(now), Ms(tracker_.Raised()->guard)};
    return late.has_value();
}

void BusScheduler::Stray(const LineReader::Out& out, Clock::time_point now) {
    const std::vector<uint8_t>& bytes = out.stray;
    const auto gap = std::chrono::milliseconds(options_.frame_gap_ms);
    if (refused_) refused_->bytes += bytes.size();
    if (out.stray_rest && guard_.Active()) {
        guard_.Rest(now, gap);
        Trace(false, bytes.data(), bytes.size(), "the rest, dropped");
        return;
    }
    const auto addr = LineReader::ReplyAddress(bytes);
    DeviceCycle* from = addr ? AtAddress(*addr) : nullptr;
    Doubted(addr, now);
    const bool after_round = from && from->rounds.Owed();
    kept_late_ = nullptr;
    const bool paid = Unasked(bytes, now);
    const LateAnswers::Stray kind =
        LateAnswers::Classify(guard_.Active(), guard_.TimedOut() != nullptr, after_round, kept_late_ != nullptr, paid);
    if (kind == LateAnswers::Stray::kWhileTimedOut) {
        DeviceCycle& timed_out = *guard_.TimedOut();
        if (guard_.LateReply(now, tracker_.Owed(tracker_.Addr()) > 0, tracker_.Guard(tracker_.ReplyLen()), gap))
            Failed(timed_out, FailureReason::kLateReply);
        Trace(false, bytes.data(), bytes.size(), LateAnswers::Note(kind));
        return;
    }
    Trace(false, bytes.data(), bytes.size(), LateAnswers::Note(kind));
    if (from && LateAnswers::CountsLate(kind)) Failed(*from, FailureReason::kLateReply);
    // The rest of whatever this was must not meet the next request.
    guard_.Start(now, guard_.AfterUnasked(gap));
}

void BusScheduler::Service(Clock::time_point now) {
    const Clock::time_point seen = Seen(now);
    now_ = now;
    // Before anything is judged overdue or quiet, what has come is read:
    // bytes that waited for a late turn of the loop came in their time.
    const bool judging =
        guard_.Active() ? guard_.Over(now) : active_ && tracker_.Outstanding() && now >= tracker_.Deadline();
    bool held_due = false;
    for (const DeviceCycle* c : all_) held_due = held_due || c->rounds.Due(now);
    if (!keeper_.Down() && (judging || held_due)) Drain(seen);
    for (DeviceCycle* c : all_)
        if (c->rounds.Due(now)) CommitPending(*c, now);
    if (keeper_.Down()) {
        CountMissedCycles(now);
        if (now >= keeper_.ReopenAt()) TryReopen(now);
        return;
    }
    if (guard_.Over(now)) GuardOver(now);
    if (!guard_.Active() && active_) {
        Take(reader_.Poll(now), now);
        if (active_ && tracker_.Outstanding() && now >= tracker_.Deadline() && !guard_.Active())
            ReplyOverdue(*active_, now);
    }
    if (!active_ && !guard_.Active() && !keeper_.Down()) {
        if (DeviceCycle* due = plan_.Due(Askable(now), now)) Tick(*due, now);
    }
    const Moment m = Moment::At(now);
    for (BusDevice* d : devices_) Publish(*d, d->health.Check(m));
}

void BusScheduler::ReplyOverdue(DeviceCycle& c, Clock::time_point now) {
    // Nothing at all, or the start of a reply that never completed.
    const std::vector<uint8_t>& got = reader_.Gathered();
    const FailureReason why =
        got.empty() ? FailureReason::kTimeout : JudgeRefusal(got.data(), got.size(), tracker_.ReplyLen(), tracker_.Addr());
    const LateAnswers::Overdue fate = LateAnswers::AtDeadline(!got.empty(), late_.AsAnother());
    if (fate == LateAnswers::Overdue::kAskAgain) {
        Trace(false, nullptr, 0, "no reply in time but one naming another monitor: refused as an address");
        c.device.Exchanged(false, now);
        reader_.Forget();
        tracker_.Refused();
        AfterTimeout(c, now);
        return;
    }
    Trace(false, got.data(), got.size(), std::string("no reply in time: ") + FailureName(why));
    c.device.Exchanged(false, now);
    // Bytes from another address, sooner than the monitor asked answers:
    // a second answer of a monitor whose round waits.  (Later, they may be
    // the monitor asked, answering as another address.)
    if (!got.empty() && tracker_.TooSoon()) Doubted(LineReader::ReplyAddress(got), now);
    Foreign(got, now);
    reader_.Forget();
    Failed(c, why);
    if (fate == LateAnswers::Overdue::kTimedOut) {
        // Its reply may still come: its monitor is not asked until the
        // guard has passed, the others are.
        tracker_.TimedOut();
        AfterTimeout(c, now);
    } else {
        tracker_.Refused();
        guard_.StartAfterTimeout(now, c, tracker_.Guard(tracker_.ReplyLen()));
    }
}

void BusScheduler::AfterTimeout(DeviceCycle& c, Clock::time_point now) {
    if (c.resends_in_cycle >= monitor::kResendsPerCycle) {
        EndCycle(c, false, now);  // timed out: the bus moves on
    } else if (plan_.Probing(c, now)) {
        Release(c, now);  // its next probe resends
    } else {
        Release(c, now);
        c.next_poll = now;  // resent as soon as its monitor may be asked
    }
}

void BusScheduler::GuardOver(Clock::time_point now) {
    guard_.End();
    if (refused_) {
        SettleRefusal(now);
        return;
    }
    if (DeviceCycle* c = guard_.TakeTimedOut()) AfterTimeout(*c, now);
}

void BusScheduler::Tick(DeviceCycle& c, Clock::time_point now) {
    if (!c.late_answer.empty()) {
        TakeLateAnswer(c, now);
        return;
    }
    BusDevice& d = c.device;
    active_ = &c;
    sent_ = false;
    round_done_ = false;
    const long cycles_before = d.cycles;
    const Clock::time_point due = c.next_poll;
    CallDevice(events_, d, "tick", [&] { d.dev->RefreshStatus(); });
    if (d.cycles == cycles_before && c.cycle_open) {
        ++c.resends_in_cycle;
        ++d.resends;
    } else if (d.cycles != cycles_before) {
        plan_.CycleStarted(c, due, now);
    }
    if (!sent_) {
        // Nothing went out, so nothing will come back.
        if (active_ == &c) Release(c, now);
    }
    AfterDeviceCall(now);
}

void BusScheduler::Deliver(const std::vector<uint8_t>& reply, Clock::time_point now, std::size_t more) {
    if (!active_) return;
    DeviceCycle& c = *active_;
    BusDevice& d = c.device;
    exchange_ = reply;
    sent_ = false;
    round_done_ = false;
    delivering_ = true;
    int result = 0;
    std::vector<uint8_t> chunk(reply);
    // The request this reply answers and all that came for it: the
    // device's next request is sent during the call when it takes the reply.
    const uint8_t answers = c.request_command;
    c.handed_over.insert(c.handed_over.end(), reply.begin(), reply.end());
    const std::vector<uint8_t> answer = c.handed_over;
    CallDevice(events_, d, "rx", [&] { result = d.dev->process(chunk.data(), static_cast<unsigned int>(chunk.size())); });
    delivering_ = false;
    // Taken (the cycle moved on): its fields marked invalid are the round's.
    if (sent_ || round_done_) c.rounds.Open().invalid.Took(answers, answer.data(), answer.size());
    d.Exchanged(round_done_ || result != 0, now);
    if (round_done_) {
        tracker_.Answered();
        reader_.Forget();
        EndCycle(c, true, now);
    } else if (result == 0) {
        tracker_.Refused();
        reader_.Forget();
        // Bytes from a monitor whose round waits, sooner than the one asked
        // answers.  (A reply the device refuses is no second answer by
        // itself: a faulty line spoils replies as they are.)
        if (tracker_.TooSoon()) Doubted(LineReader::ReplyAddress(exchange_), now);
        Foreign(exchange_, now);
        if (c.cycle_open) {
            const FailureReason why = c.cycle_two_answers ? FailureReason::kTwoAnswers
                                                          : JudgeRefusal(exchange_.data(), exchange_.size(),
                                                                         tracker_.ReplyLen(), tracker_.Addr());
            // Counted from the frame's start byte: noise before it is no
            // answer.  Two answers sent together begin as the monitor's
            // does, its address or a second start byte behind the first.
            const uint8_t* start = monitor::FindStartByte(exchange_.data(), exchange_.size());
            const std::size_t from = static_cast<std::size_t>(start - exchange_.data());
            const bool answer = from + 1 < exchange_.size() &&
                                (start[1] == tracker_.Addr() || start[1] == monitor::kStartByte);
            refused_ = Refusal{&c, why, exchange_, answer ? tracker_.ReplyLen() : 0, exchange_.size() - from + more};
            // Owed nothing, the bytes that follow until the line is quiet
            // tell a second answer interleaved with this one from a line
            // that spoilt it.  Owing a reply, the monitor may be sending
            // that late; a second answer already seen needs nothing more.
            if (why == FailureReason::kTwoAnswers || !tracker_.OwesNothingLately(tracker_.Addr(), now)) {
                refused_->reply_len = 0;
                SettleRefusal(now);
            }
            // The rest of that reply must not be taken for the next.
            guard_.Start(now, std::chrono::milliseconds(options_.frame_gap_ms));
        } else {
            Release(c, now);
        }
    }
    AfterDeviceCall(now);
}

void BusScheduler::SettleRefusal(Clock::time_point now) {
    const Refusal r = std::move(*refused_);
    refused_.reset();
    DeviceCycle& c = *r.device;
    const bool doubled = r.reply_len > 0 && r.bytes >= 2 * static_cast<std::size_t>(r.reply_len);
    const FailureReason why = doubled ? FailureReason::kTwoAnswers : r.why;
    Trace(false, r.reply.data(), r.reply.size(),
          std::string("refused: ") + FailureName(why) +
              (doubled ? " (two monitors may share address " + std::to_string(c.device.conf.addr) + ")" : ""));
    Failed(c, why);
    EndCycle(c, false, now);
}

void BusScheduler::AfterDeviceCall(Clock::time_point now) {
    if (write_failure_) {
        const std::string why = *write_failure_;
        write_failure_.reset();
        PortFailed(why, now);
    }
}

void BusScheduler::Failed(DeviceCycle& c, FailureReason why) {
    ++At(c.device.failures, why);
    // A late reply comes after its exchange was already counted as failed;
    // it does not change why the cycle failed.
    if (why != FailureReason::kLateReply) {
        if (!c.cycle_failure) c.failed_request_at = c.request_sent_at;
        c.cycle_failure = why;
    }
    events_.Publish(run::ExchangeFailed{&c.device, why});
}

void BusScheduler::EndCycle(DeviceCycle& c, bool completed, Clock::time_point now) {
    c.late_answer.clear();
    if (!completed) {
        const bool was_open = c.cycle_open;
        c.rounds.NewCycle();
        c.cycle_open = false;
        // Released first: the next poll follows the health the device had
        // while the cycle ran.
        Release(c, now);
        if (was_open) {
            Abandoned(c, now);
            plan_.Failed(c, now);
        }
        return;
    }
    c.cycle_open = false;
    // How long a reply to the round's requests may still come: the lateness
    // measured says how long, and at least as long as a monitor a reply
    // behind takes to send it.
    const Clock::duration hold = tracker_.Hold(now);
    switch (RoundHold::AtCycleEnd(c.cycle_out_of_step, tracker_.Owed(tracker_.Addr()), hold)) {
        case RoundHold::Fate::kDrop:
            Drop(c, now);
            // The replies still coming in its wake must meet no request.
            guard_.Start(now, tracker_.Guard(tracker_.ReplyLen()));
            break;
        case RoundHold::Fate::kHoldOwed:
            // Its monitor is not asked meanwhile; the others are: a reply
            // names its monitor.
            Release(c, now);
            Pend(c, now, now + hold, true);
            tracker_.Bar(tracker_.Addr(), now + hold);
            break;
        case RoundHold::Fate::kHold:
            Release(c, now);
            Pend(c, now, now + hold, false);
            break;
        case RoundHold::Fate::kStore:
            Release(c, now);
            Store(c, c.rounds.TakeOpen(), now);
            break;
    }
}

void BusScheduler::Store(DeviceCycle& c, const RoundHold::Round& round, Clock::time_point now) {
    BusDevice& d = c.device;
    ++d.completed;
    Publish(d, d.health.CycleCompleted(Moment::At(now)));
    if (round.saved && keep_) keep_(d, round);
    if (d.last) {
        if (d.cell_count == 0) d.LearnCells();
        // The charge state was judged as the round was kept (it is stored
        // with it); a round not kept shows the last one's.
        const verdict::ChargeNow charge = d.charge && d.charge->Last() ? *d.charge->Last() : verdict::ChargeNow{};
        events_.Publish(run::RoundCompleted{&d, *d.last, d.last_round_at, charge});
    }
}

void BusScheduler::Pend(DeviceCycle& c, Clock::time_point now, Clock::time_point until, bool owed) {
    // A whole cycle in step since the round before: that one stands.
    if (c.rounds.Holding()) CommitPending(c, now);
    c.rounds.Hold(until, owed);
}

void BusScheduler::CommitPending(DeviceCycle& c, Clock::time_point now) {
    const bool owed = c.rounds.Owed();
    const RoundHold::Round held = c.rounds.TakeHeld();
    // Quiet since the round: every reply the monitor owed is not coming.
    if (owed) tracker_.Settled(BusAddr(c));
    Store(c, held, now);
}

void BusScheduler::DropPending(DeviceCycle& c, Clock::time_point now, FailureReason why) {
    BusDevice& d = c.device;
    c.rounds.DropHeld();
    ++d.abandoned;
    Trace(false, nullptr, 0,
          why == FailureReason::kTwoAnswers
              ? "round dropped: two answers (two monitors may share address " + std::to_string(d.conf.addr) + ")"
              : std::string("round dropped: its replies may answer other requests"));
    ++At(d.failures, why);
    events_.Publish(run::ExchangeFailed{&d, why});
    Publish(d, d.health.CycleFailed(why, Moment::At(now)));
}

void BusScheduler::Drop(DeviceCycle& c, Clock::time_point now) {
    BusDevice& d = c.device;
    const FailureReason why = RoundHold::DropReason(c.cycle_two_answers);
    c.late_answer.clear();
    ++d.abandoned;
    c.rounds.NewCycle();
    Trace(false, nullptr, 0,
          c.cycle_two_answers ? "round dropped: two answers (two monitors may share address " +
                                    std::to_string(d.conf.addr) + ")"
                              : std::string("round dropped: its replies may answer other requests"));
    Failed(c, why);
    if (active_ == &c) active_ = nullptr;
    plan_.ToNextTick(c, now);
    Publish(d, d.health.CycleFailed(why, Moment::At(now)));
}

void BusScheduler::Release(DeviceCycle& c, Clock::time_point now) {
    if (active_ == &c) active_ = nullptr;
    reader_.Forget();
    plan_.Released(c, now);
}

void BusScheduler::DeviceSent(BusDevice& d, const uint8_t* data, std::size_t len) {
    DeviceCycle& c = Of(d);
    sent_ = true;
    if (keeper_.Down() || write_failure_) {
        Trace(true, data, len, "not sent, port closed");
        return;
    }
    // A request sent while a reply is being handed over: the device took
    // that reply.
    if (delivering_ && tracker_.Outstanding()) tracker_.Answered();
    try {
        // Whatever is waiting now came before this request was written, so
        // it cannot answer it: a reply late or doubled, with the device's
        // round among those it may have touched.
        uint8_t buf[256];
        for (std::size_t n; (n = port_.Read(buf, sizeof buf)) > 0;) {
            const LineReader::Out early = reader_.Feed(buf, n, now_);
            std::vector<uint8_t> bytes(early.reply);
            bytes.insert(bytes.end(), early.surplus.begin(), early.surplus.end());
            bytes.insert(bytes.end(), early.stray.begin(), early.stray.end());
            if (bytes.empty()) continue;
            Trace(false, bytes.data(), bytes.size(), "before the request, dropped");
            // Behind the answer to the request before, from the same
            // monitor, owing nothing: a second monitor answered it too.
            const auto from = LineReader::ReplyAddress(bytes);
            if (from && *from == tracker_.Addr() && *from == BusAddr(c) && tracker_.OwesNothingLately(*from, now_))
                c.cycle_two_answers = true;
            Doubted(from, now_);
            Unasked(bytes, now_);
            OutOfStep(c, "a reply before its request");
        }
        port_.Write(data, len);
        Trace(true, data, len, "");
    } catch (const BusPort::Error& e) {
        // Thrown through the plug-in it would leave the device half-way in
        // a call; the failure is handled once the call has returned.
        write_failure_ = e.what();
        return;
    }
    active_ = &c;
    c.request_sent_at = now_;
    exchange_.clear();
    late_.ExchangeBegun();
    // The reply the request asks for; a request the monitor would not answer
    // is given the short reply's time, so the bus is not held long for it.
    // A request the bytes do not show is read until the frame gap.
    uint8_t command = 0;
    uint8_t addr = 0;
    int reply_len = monitor::kShortReplyLen;
    bool known = monitor::ParseRequest(data, static_cast<int>(len), &addr, &command);
    c.request_command = known ? command : 0;
    c.handed_over.clear();
    if (known && monitor::ReplyLength(command) > 0) reply_len = monitor::ReplyLength(command);
    // Replies other monitors owe may come first: each is set apart.
    reader_.Expect(data, len, known ? reply_len : 0, known ? OwedFrames(addr) : std::map<uint8_t, LineReader::Owed>{});
    tracker_.Sent(addr, reply_len, now_);
}

void BusScheduler::DeviceStartedCycle(BusDevice& d) {
    DeviceCycle& c = Of(d);
    // A cycle still open was given up by the device itself.
    if (c.cycle_open) Abandoned(c, now_);
    c.late_answer.clear();
    d.StartCycle(now_);
    c.Start(now_);
}

void BusScheduler::Abandoned(DeviceCycle& c, Clock::time_point now) {
    BusDevice& d = c.device;
    ++d.abandoned;
    // Silent since the first request of the cycle that failed, if one did.
    std::optional<Moment> asked;
    if (c.cycle_failure) asked = Moment::At(c.failed_request_at);
    Publish(d, d.health.CycleFailed(c.cycle_failure.value_or(FailureReason::kTimeout), Moment::At(now), asked));
}

void BusScheduler::DeviceChecked(BusDevice& d, RoundHold::Check check) {
    Of(d).rounds.Open().checks.push_back(std::move(check));
}

void BusScheduler::DeviceCompletedRound(BusDevice& d, const uint8_t* record, std::size_t size, TimeStamp at,
                                        int64_t mono_ms) {
    RoundHold::Round& round = Of(d).rounds.Open();
    round.record.assign(record, record + size);
    round.at = at;
    round.mono_ms = mono_ms;
    round.saved = true;
    round_done_ = true;
}

void BusScheduler::PortFailed(const std::string& why, Clock::time_point now) {
    port_.Close();
    if (!keeper_.Lost(now)) return;
    if (refused_) SettleRefusal(now);
    reader_.Forget();
    guard_.Cancel();
    DeviceCycle* cut = nullptr;
    for (DeviceCycle* c : all_) {
        const auto fate = PortKeeper::AtLoss(
            PortKeeper::Exchanges{c == active_, c->rounds.Holding(), c->rounds.Owed(), !c->late_answer.empty()});
        if (fate.cut) cut = c;
        if (fate.drop_round) DropPending(*c, now, *fate.drop_round);
        if (fate.store_round) CommitPending(*c, now);
        if (fate.forget_late_answer) c->late_answer.clear();
    }
    events_.Publish(run::PortLost{port_.Path(), why, Ms(keeper_.Backoff())});
    if (cut) {
        tracker_.Refused();
        Failed(*cut, FailureReason::kPortLost);
        plan_.Interrupted(*cut);
        active_ = nullptr;
    }
    const Moment m = Moment::At(now);
    for (BusDevice* d : devices_) Publish(*d, d->health.PortLost(m));
}

void BusScheduler::CountMissedCycles(Clock::time_point now) {
    // Every poll time that passes while the port is away is a cycle lost.
    for (DeviceCycle* c : all_) {
        for (long n = plan_.Missed(*c, now); n > 0; --n) {
            ++c->device.missed;
            c->device.health.CycleMissed();
        }
    }
}

void BusScheduler::TryReopen(Clock::time_point now) {
    try {
        port_.Open(speed_);
    } catch (const BusPort::Error& e) {
        keeper_.ReopenFailed(now);
        return;
    }
    if (!port_.WireTime()) tracker_.WithoutWireTime();
    const Clock::duration away = keeper_.Reopened(now);
    events_.Publish(run::PortReopened{port_.Path(), Ms(away)});
    for (DeviceCycle* c : all_) {
        c->device.health.PortReopened();
        plan_.Resumed(*c, now);
    }
}
