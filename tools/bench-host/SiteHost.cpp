#include "SiteHost.h"

#include <unistd.h>

#include <iostream>
#include <memory>

#include "BusLoop.h"
#include "ConsoleTap.h"
#include "HistoryStore.h"
#include "HostCalls.h"
#include "JsonOutput.h"
#include "LiveView.h"
#include "RunEvents.h"
#include "RunSetup.h"
#include "TextOutput.h"

int SiteHost::Run() {
    RunEvents events;
    // The plug-in writes its console lines to std::cout; from here on they
    // are events like any other, and the outputs write to the real stdout.
    ConsoleTap tap([&events](const std::string& line) { events.Publish(run::PluginLine{line}); });
    std::ostream out(tap.Original());

    std::unique_ptr<RunOutput> output;
    if (options_.json)
        output = std::make_unique<JsonOutput>(out, std::cerr, options_.trace);
    else if (!options_.trace && ::isatty(STDOUT_FILENO))
        output = std::make_unique<LiveView>(out, std::cerr);
    else
        output = std::make_unique<TextOutput>(out, std::cerr, options_.trace);
    events.Subscribe(*output);

    RunSetup site(options_, events);
    HostCalls calls(site, events);
    try {
        site.Make();
    } catch (const std::exception& e) {
        events.Publish(run::SetupFailed{e.what()});
        return kSetupFailed;
    }

    run::RunStarted started;
    for (const auto& d : site.Devices()) started.devices.push_back(d.get());
    started.plugin_path = site.PluginPath();
    started.site_file = options_.config_path;
    started.history_file = site.History().Path();
    events.Publish(started);

    site.Restore();
    BusLoop(site, events, BusLoop::Limits{options_.rounds, options_.duration}).Run();

    run::RunEnded ended;
    ended.devices = started.devices;
    ended.history_file = started.history_file;
    events.Publish(ended);

    for (const auto& d : site.Devices())
        if (d->completed == 0) return kNeverCompleted;
    return kOk;
}
