#include "run/SiteHost.h"

#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <memory>

#include "run/BusLoop.h"
#include "bus/BusScheduler.h"
#include "run/ConsoleTap.h"
#include "history/HistoryStore.h"
#include "run/HealthRecorder.h"
#include "run/NoteRecorder.h"
#include "outputs/OutputWatch.h"
#include "run/HostCalls.h"
#include "outputs/JsonOutput.h"
#include "outputs/LiveView.h"
#include "outputs/PluginLog.h"
#include "events/RunEvents.h"
#include "run/RunSetup.h"
#include "run/StoreThread.h"
#include "run/StopBudget.h"
#include "loader/PluginLoader.h"
#include "outputs/TextOutput.h"
#include "basics/TimeStamp.h"

namespace {

int64_t MsOf(RunClock::Wall::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// "3 records, 0 alarms, 1 health change, 2 counts": every kind, so that a
// line without the history's summary still says all.
std::string NotStoredText(const HistoryWriter& writer) {
    static const char* const kNames[history::kStoreKinds][2] = {
        {"record", "records"}, {"alarm", "alarms"}, {"health change", "health changes"}, {"count", "counts"}};
    std::string text;
    for (int k = 0; k < history::kStoreKinds; ++k) {
        const long n = writer.NotStored(static_cast<history::StoreKind>(k));
        text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + kNames[k][n == 1 ? 0 : 1];
    }
    return text;
}

}  // namespace

int SiteHost::Run() {
    // A reader that goes away (`run --json | head -3`) must not end the run:
    // the write fails instead, and OutputWatch says so.
    ::signal(SIGPIPE, SIG_IGN);
    RunEvents events;
    // The plug-in writes its console lines to std::cout; from here on they
    // are events like any other, and the outputs write to the real stdout.
    ConsoleTap tap([&events](const std::string& line) { events.Publish(run::PluginLine{line}); });
    std::ostream stdout_stream(tap.Original());
    std::ostream& out = machine_.out ? *machine_.out : stdout_stream;
    std::ostream& err = machine_.err ? *machine_.err : std::cerr;
    RunClock& clock = *machine_.clock;

    std::unique_ptr<RunOutput> output;
    if (options_.json)
        output = std::make_unique<JsonOutput>(out, err, options_.trace);
    else if (!options_.trace && !machine_.out && LiveView::Usable(STDOUT_FILENO))
        output = std::make_unique<LiveView>(out, err, options_.plugin_log);
    else
        output = std::make_unique<TextOutput>(out, err, options_.trace);
    events.Subscribe(*output);
    OutputWatch output_watch(out, events);
    events.Subscribe(output_watch);
    if (companion_.output) events.Subscribe(*companion_.output);
    std::unique_ptr<PluginLog> plugin_log;
    if (!options_.plugin_log.empty()) {
        try {
            plugin_log = std::make_unique<PluginLog>(options_.plugin_log);
        } catch (const std::exception& e) {
            events.Publish(run::SetupFailed{e.what()});
            return kSetupFailed;
        }
        events.Subscribe(*plugin_log);
    }

    RunSetup site(options_, events, machine_.make_port);
    HostCalls calls(site, events, clock);
    std::unique_ptr<StoreThread> store;
    Started web_page;
    // The run's length is measured on the monotonic clock from here, where
    // setup records its start: the origin of the moments its rows keep, so
    // its end is a moment on the same clock as theirs.
    const auto run_began = calls.Origin();
    try {
        site.Make();
        store = std::make_unique<StoreThread>(site.History(), events, site.Devices(), clock, machine_.before_write);
        calls.Attach(*store);
        // A history without a file (a full disk) has no page of its own; the
        // live page and /metrics are served all the same.
        if (companion_.start)
            web_page = companion_.start(site.History().NotStoring().empty() ? site.History().Path() : std::string());
    } catch (const std::exception& e) {
        events.Publish(run::SetupFailed{e.what()});
        return kSetupFailed;
    }
    HealthRecorder health(*store, calls.Origin());
    events.Subscribe(health);
    NoteRecorder notes(*store);
    events.Subscribe(notes);
    events.Subscribe(*store);
    // The stop signals are caught from here on, so that a stop during the
    // restore still ends with the summary.
    BusLoop loop(site, events, BusLoop::Limits{options_.rounds, options_.duration}, clock);

    run::RunStarted started;
    for (const auto& d : site.Devices()) started.devices.push_back(d.get());
    started.plugin_path = site.Plugin().Path();
    started.plugin_size = site.Plugin().Digest().size;
    started.plugin_sha256 = site.Plugin().Digest().sha256;
    started.site_file = options_.config_path;
    started.history_file = site.History().Path();
    started.version = BENCH_HOST_VERSION;
    started.run_id = site.RunId();
    started.web_page = web_page.address;
    started.test_note = options_.test_note;
    if (!web_page.warning.empty()) events.Publish(run::SetupWarning{web_page.warning});
    events.Publish(started);

    site.Restore();
    // The run's own rows first, on the store thread: polling does not wait
    // for them.  From here until Stop the writer is the store thread's alone.
    for (auto& item : site.TakeSetupWrites()) store->Offer(std::move(item));
    store->Start([&loop] { return loop.StopRequests(); });
    loop.Run();
    // The run ended when polling did, whatever the disk still has to do:
    // that is the end its row keeps and its length.
    const auto polling_ended = clock.Now();
    const auto polling_ended_wall = clock.WallNow();
    store->Stop(StopBudget(polling_ended));

    HistoryWriter& writer = site.History().Writer();
    std::string lost = store->Lost();
    if (!lost.empty()) {
        writer.CountNotStored(history::StoreKind::kCounts);
    } else {
        std::vector<history::RunDevice> counts;
        for (const auto& d : site.Devices()) counts.push_back(d->Counts(MsOf(polling_ended_wall)));
        try {
            writer.EndRun(TimeStamp::FromMs(MsOf(polling_ended_wall)),
                          std::chrono::duration_cast<std::chrono::milliseconds>(polling_ended - run_began).count(),
                          counts);
        } catch (const std::exception& e) {
            // The history cannot say what this run did not store: standard
            // error does, whatever the output.
            err << "bench-host: " << e.what() << "; not stored in this run: " << NotStoredText(writer) << std::endl;
            events.Publish(
                run::StoreFailed{nullptr, e.what(), writer.NotStored(history::StoreKind::kCounts), history::StoreKind::kCounts});
        }
        // Found lost with the end's own commit: the end is not in the file.
        if (!site.History().Lost().empty()) {
            lost = site.History().Lost() + "; the end of the run is not stored";
            writer.CountNotStored(history::StoreKind::kCounts);
            events.Publish(run::HistoryLost{lost});
        }
    }
    run::RunEnded ended;
    ended.at = DeviceHealth::Moment{polling_ended, polling_ended_wall};
    ended.devices = started.devices;
    ended.history_file = started.history_file;
    const auto now = polling_ended;
    for (auto& bus : site.Buses())
        ended.ports.push_back(run::PortSummary{
            bus.scheduler->Path(), bus.scheduler->Outages(),
            std::chrono::duration_cast<std::chrono::milliseconds>(bus.scheduler->OutageTime(now))});
    ended.records_not_stored = writer.RecordsNotStored();
    ended.alarms_not_stored = writer.AlarmsNotStored();
    ended.health_not_stored = writer.NotStored(history::StoreKind::kHealth);
    ended.counts_not_stored = writer.NotStored(history::StoreKind::kCounts);
    ended.summary_failures = writer.SummaryFailures();
    ended.history_lost = lost;
    ended.clock_steps = loop.ClockSteps();
    events.Publish(ended);

    if (writer.NotStored() > 0 || !lost.empty()) return kNotStored;
    for (const auto& d : site.Devices())
        if (d->completed == 0) return kNeverCompleted;
    return kOk;
}
