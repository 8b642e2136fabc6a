#include "run/StoreThread.h"

#include <algorithm>
#include <string>

#include "bus/BusDevice.h"
#include "events/RunEvents.h"
#include "history/HistoryStore.h"
#include "history/SqlConnection.h"

using history::StoreKind;

StoreThread::StoreThread(HistoryStore& store, RunEvents& events, const std::vector<std::unique_ptr<BusDevice>>& devices,
                         RunClock& clock, BeforeWrite before_write)
    : store_(store), events_(events), devices_(devices), clock_(clock), before_write_(std::move(before_write)) {}

StoreThread::~StoreThread() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
}

void StoreThread::Start(std::function<int()> stop_requests) {
    stop_requests_ = std::move(stop_requests);
    // What setup could not store is said already.
    for (int k = 0; k < history::kStoreKinds; ++k) told_[k] = store_.Writer().NotStored(static_cast<StoreKind>(k));
    next_counts_ = clock_.Now() + kCountsEvery;
    thread_ = std::thread([this] { Loop(); });
}

void StoreThread::Stop(const StopBudget& budget) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        budget_ = budget;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    Publish();
}

std::string StoreThread::Lost() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lost_;
}

void StoreThread::Failed(uint32_t device_id, StoreKind kind, const std::string& what) {
    store_.Writer().CountNotStored(kind);
    Note(device_id, kind, what);
}

void StoreThread::Note(uint32_t device_id, StoreKind kind, const std::string& what) {
    const long count = ++told_[static_cast<int>(kind)];
    for (auto& f : failures_) {
        if (f.device_id == device_id && f.kind == kind) {
            ++f.added;
            f.count = count;
            f.what = what;
            return;
        }
    }
    failures_.push_back(Failure{device_id, kind, 1, count, what});
}

void StoreThread::Offer(StoreQueue::Item item) {
    const uint32_t device_id = item.DeviceId();
    const StoreKind kind = item.Kind();
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!lost_.empty()) {
            Failed(device_id, kind, lost_);
        } else if (!queue_.Offer(std::move(item))) {
            Failed(device_id, kind,
                   "history " + store_.Path() + ": the disk is behind: " + std::to_string(queue_.Bound()) +
                       " writes wait already");
        } else {
            wake_.notify_one();
            return;
        }
    }
    Publish();
}

void StoreThread::Refresh(std::chrono::steady_clock::time_point now) {
    if (now >= next_counts_ && thread_.joinable()) {
        next_counts_ = now + kCountsEvery;
        OfferCounts();
    }
    Publish();
}

void StoreThread::OfferCounts() {
    const int64_t at_ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.WallNow().time_since_epoch()).count();
    for (const auto& d : devices_) Offer(StoreQueue::Item{d->Counts(at_ms)});
}

void StoreThread::Publish() {
    std::vector<Failure> failures;
    std::string lost;
    std::map<uint32_t, long> stored;
    int closed_at_start = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        std::swap(closed_at_start, closed_at_start_);
        failures.swap(failures_);
        if (!lost_said_) lost = lost_;
        if (stored_changed_) stored = stored_;
        stored_changed_ = false;
    }
    const auto device_of = [this](uint32_t id) -> const BusDevice* {
        for (const auto& d : devices_)
            if (d->conf.id == id) return d.get();
        return nullptr;
    };
    if (closed_at_start) events_.Publish(run::AlarmsClosedAtStart{closed_at_start});
    for (const auto& [id, total] : stored) events_.Publish(run::RecordsStored{device_of(id), total});
    if (!lost.empty()) {
        lost_said_ = true;
        events_.Publish(run::HistoryLost{lost});
    }
    for (const auto& f : failures)
        events_.Publish(run::StoreFailed{device_of(f.device_id), f.what, f.count, f.kind, f.added});
}

void StoreThread::GiveUp(const std::string& why) {
    std::lock_guard<std::mutex> lock(mu_);
    if (lost_.empty()) lost_ = why + "; nothing more is stored in this run";
}

void StoreThread::Write(const StoreQueue::Item& item) {
    HistoryWriter& w = store_.Writer();
    if (before_write_) before_write_(item);
    std::visit(Overloaded{
                   [&](const StoreQueue::Record& r) {
                       w.SaveRecord(r.device_id, r.bytes.data(), r.bytes.size(), r.at, r.charge_state, r.mono_ms,
                                    r.no_value);
                   },
                   [&](const history::Alarm& a) { w.SaveAlarm(a); },
                   [&](const history::Health& h) { w.SaveHealth(h); },
                   [&](const history::RunDevice& c) { w.SaveRunDevice(c); },
                   [&](const history::Note& n) { w.SaveNote(n); },
                   [&](const StoreQueue::RunStart& r) { w.BeginRun(r.run, r.at, r.run_id); },
                   [&](const history::RunSettings& s) { w.SaveRunSettings(s); },
                   [&](const StoreQueue::CloseAlarms& c) {
                       if (const int closed = w.CloseAlarmsLeftRaised(c.at)) {
                           std::lock_guard<std::mutex> lock(mu_);
                           closed_at_start_ = closed;
                       }
                   },
               },
               item.write);
}

void StoreThread::Abandon(const std::string& why) {
    while (std::optional<StoreQueue::Item> item = queue_.Take()) Failed(item->DeviceId(), item->Kind(), why);
}

void StoreThread::Loop() {
    auto next_check = clock_.Now() + kCheckEvery;
    auto next_deep = clock_.Now() + kDeepCheckEvery;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        clock_.WaitUntil(lock, wake_, next_check, [&] { return stopping_ || queue_.Size() > 0; });
        if (queue_.Size() > 0 && stop_requests_ && StopBudget::Cut(stop_requests_())) {
            // Stopped again: what waits is not waited for, nor what the bus
            // loop hands over before it ends.
            Abandon("history " + store_.Path() + ": the run was stopped again before the disk took it");
            if (stopping_) break;
            continue;
        }
        if (stopping_ && budget_ && queue_.Size() > 0 && !budget_->Another(clock_.Now())) {
            Abandon("history " + store_.Path() + ": the run stopped before the disk took it (" +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(StopBudget::kTotal).count()) +
                    " s are given to a stop)");
            break;
        }
        std::optional<StoreQueue::Item> item = queue_.Take();
        const bool lost = !lost_.empty();
        if (!item && stopping_) break;
        lock.unlock();
        std::string why;
        if (item && lost) {
            lock.lock();
            Failed(item->DeviceId(), item->Kind(), lost_);
            continue;
        }
        if (item) {
            try {
                Write(*item);
                if (item->Kind() == StoreKind::kRecord) {
                    lock.lock();
                    ++stored_[item->DeviceId()];
                    stored_changed_ = true;
                    lock.unlock();
                }
            } catch (const std::exception& e) {
                // Counted by the writer already.
                const auto* sql = dynamic_cast<const SqlError*>(&e);
                if (sql && sql->Damaged()) why = e.what();
                lock.lock();
                Note(item->DeviceId(), item->Kind(), e.what());
                lock.unlock();
            }
            if (why.empty()) why = store_.Writer().Damaged();
            // Found after the commit, before the log was copied anywhere.
            if (why.empty()) why = store_.Lost();
        }
        const auto now = clock_.Now();
        if (why.empty() && now >= next_check) {
            next_check = now + kCheckEvery;
            const bool deep = now >= next_deep;
            if (deep) next_deep = now + kDeepCheckEvery;
            why = store_.CheckFile(deep);
        }
        if (!why.empty()) {
            if (store_.Lost().empty()) store_.GiveUp(why);
            GiveUp(why);
        }
        lock.lock();
    }
}
