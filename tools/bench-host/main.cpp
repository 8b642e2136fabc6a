// bench-host: runs the battery-string plug-in on a bench, the way the site
// host runs it on the controller.
//
//   bench-host replay [--plugin PATH] SCENARIO
//   bench-host run --config SITE.json [options]
//   bench-host history --db FILE [--id N] [--csv]
#include <fstream>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "HistoryReport.h"
#include "HistoryStore.h"
#include "PluginLoader.h"
#include "ReplayRunner.h"
#include "SiteHost.h"

namespace {

int Fail(const std::string& message) {
    std::cerr << "bench-host: " << message << std::endl;
    return 1;
}

int Replay(const std::string& plugin_path, const std::string& scenario) {
    std::ifstream file;
    if (scenario != "-") {
        file.open(scenario);
        if (!file) return Fail("cannot open scenario " + scenario);
    }
    try {
        PluginLoader plugin(plugin_path.empty() ? PluginLoader::DefaultPath() : plugin_path);
        ReplayRunner runner(plugin, std::cout, std::cerr);
        return runner.Run(scenario == "-" ? std::cin : file, scenario == "-" ? "stdin" : scenario);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

int History(const std::string& db, const HistoryReport::Options& options, bool alarms) {
    try {
        HistoryStore store(db, HistoryStore::Access::kReadOnly);
        const long n = alarms ? HistoryReport::PrintAlarms(store, options, std::cout)
                              : HistoryReport::PrintRounds(store, options, std::cout);
        if (n == 0 && !options.csv) std::cerr << "bench-host: nothing stored" << (options.device_id ? " for that device" : "") << std::endl;
        return 0;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"bench-host: loads the battery-string plug-in and runs its devices on a bench"};
    app.require_subcommand(1);

    std::string plugin_path;

    CLI::App* replay = app.add_subcommand("replay", "Replay a scenario of host operations (JSON Lines) and print "
                                                    "every host call and result as JSON lines");
    std::string scenario;
    replay->add_option("--plugin", plugin_path, "The plug-in library (default: the one built beside this program)");
    replay->add_option("SCENARIO", scenario, "Scenario file, or - for standard input")->required();

    CLI::App* run = app.add_subcommand("run", "Poll the site's devices on their serial lines, with live view, "
                                              "history and alarms");
    SiteHost::Options run_options;
    run->add_option("--config", run_options.config_path, "Site file (JSON)")->required();
    run->add_option("--plugin", run_options.plugin, "The plug-in library (default: the site file's, else the one "
                                                    "built beside this program)");
    run->add_option("--db", run_options.db, "History database (default: the site file's)");
    run->add_option("--port", run_options.ports, "Serial port path replacing the site file's, in the order of its "
                                                 "ports (repeat for several)");
    run->add_flag("--json", run_options.json, "One JSON line per completed round (and alarm) instead of the live view");
    run->add_flag("--trace", run_options.trace, "Print every byte sent and received with a time stamp");
    run->add_option("--plugin-log", run_options.plugin_log,
                    "Also append the plug-in's console lines, time-stamped, to this file (the live view shows only "
                    "their count and the last one)");
    run->add_option("--rounds", run_options.rounds, "Stop after N cycles of every device")->check(CLI::PositiveNumber);
    run->add_option("--duration", run_options.duration, "Stop after this many seconds")->check(CLI::PositiveNumber);

    CLI::App* history = app.add_subcommand("history", "Print the rounds stored by bench-host run, decoded");
    std::string db;
    HistoryReport::Options history_options;
    uint32_t history_id = 0;
    bool alarms = false;
    history->add_option("--db", db, "History database")->required();
    CLI::Option* id_opt = history->add_option("--id", history_id, "Only this device");
    history->add_flag("--csv", history_options.csv, "Comma-separated values with a header line");
    history->add_option("--cells", history_options.cells, "Cells shown per record (default 29)")->check(CLI::Range(1, 32));
    history->add_flag("--alarms", alarms, "Print the stored alarms instead of the rounds");

    CLI11_PARSE(app, argc, argv);

    if (replay->parsed()) return Replay(plugin_path, scenario);
    if (run->parsed()) return SiteHost(run_options).Run();
    if (history->parsed()) {
        if (id_opt->count()) history_options.device_id = history_id;
        return History(db, history_options, alarms);
    }
    return 1;
}
