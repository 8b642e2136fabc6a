// bench-host: runs the battery-string plug-in on a bench, the way the site
// host runs it on the controller.
//
//   bench-host replay [--plugin PATH] SCENARIO
//   bench-host run --config SITE.json [--http [ADDR:]PORT] [options]
//   bench-host history --db FILE [--id N] [--csv] [--alarms | --runs | --health]
//   bench-host history --db FILE --http [ADDR:]PORT
//   bench-host report --db FILE --out REPORT.html [--json F] [--pdf F] [options]
//   bench-host baseline --db FILE [--id N] [--from T --to T] --set | --show
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include <malloc.h>
#include <pthread.h>

#include <CLI/CLI.hpp>
#include <json/writer.h>

#include "CommandLine.h"
#include "history/HistoryReport.h"
#include "history/HistoryStore.h"
#include "loader/PluginLoader.h"
#include "replay/ReplayRunner.h"
#include "run/SiteHost.h"
#include "run/StopBudget.h"
#include "site/SiteConfig.h"
#include "web/SnapshotHub.h"
#include "web/SqliteHistoryQuery.h"
#include "basics/TextEscape.h"
#include "basics/TimeStamp.h"
#include "basics/Utf8.h"
#include "history/SqlConnection.h"
#include "report/StringBaseline.h"
#include "report/StringReport.h"
#include "report/PdfPrint.h"
#include "web/WebOutput.h"
#include "web/WebServer.h"

namespace {

// Exit statuses shared by the subcommands (run adds its own, see SiteHost).
constexpr int kSetupFailed = 1;
constexpr int kUsage = command_line::kUsage;

const char* const kExitStatuses =
    "Exit status:\n"
    "  0  done\n"
    "  1  setup error, one line on standard error: site file, port, plug-in, history file,\n"
    "     the web page's address (--http) that cannot be served\n"
    "     (not a history that fails SQLite's integrity check: run moves it aside with its log,\n"
    "     byte for byte, to PATH.damaged-DATE, says so, and begins a new one)\n"
    "     baseline --set: nothing to keep in the period\n"
    "  2  command-line usage error (baseline: without --set or --show); replay: a scenario line\n"
    "     that is not a valid operation\n"
    "  3  run: a device never completed a cycle\n"
    "  4  run: something was not stored (a record, alarm, health change or the run's counts;\n"
    "     also what a stop left waiting after its budget), or the history file was moved,\n"
    "     replaced, deleted or overwritten while running: a moved file keeps every round\n"
    "     counted as stored; a write-ahead log left beside a file it was not written for is\n"
    "     moved aside (named), never applied; 4 before 3 when both apply";

int Fail(const std::string& message) {
    std::cerr << "bench-host: " << message << std::endl;
    return kSetupFailed;
}

// A file or port named on the command line: an empty name would silently
// mean the site file's, or a path of nothing.
const CLI::Validator kNotEmpty(
    [](std::string& text) -> std::string { return text.empty() ? "must not be empty" : std::string(); }, "PATH");

int Replay(const std::string& plugin_path, const std::string& scenario) {
    std::ifstream file;
    if (scenario != "-") {
        std::error_code ec;
        if (std::filesystem::is_directory(scenario, ec)) return Fail("scenario " + scenario + " is a folder, not a file");
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

enum class Listing { kRounds, kAlarms, kRuns, kHealth };

int History(const std::string& db, const HistoryReport::Options& options, Listing listing) {
    try {
        HistoryStore store(db, HistoryStore::Access::kReadOnly);
        if (!store.Unread().empty()) std::cerr << "bench-host: " << store.Unread() << std::endl;
        HistoryReader& reader = store.Reader();
        const long n = listing == Listing::kAlarms ? HistoryReport::PrintAlarms(reader, options, std::cout)
                       : listing == Listing::kRuns ? HistoryReport::PrintRuns(reader, options, std::cout)
                       : listing == Listing::kHealth ? HistoryReport::PrintHealth(reader, options, std::cout)
                                                     : HistoryReport::PrintRounds(reader, options, std::cout);
        if (!reader.Damage().empty()) std::cerr << "bench-host: " << reader.Damage() << std::endl;
        if (n == 0 && !options.csv) {
            // What is missing, plainly: a history without alarms is good news,
            // not an empty file.
            const char* const none = listing == Listing::kAlarms   ? "no alarms stored"
                                     : listing == Listing::kRuns   ? "no runs stored"
                                     : listing == Listing::kHealth ? "no health changes stored"
                                                                   : "nothing stored";
            std::cerr << "bench-host: " << none << (options.device_id ? " for that device" : "") << std::endl;
        }
        return 0;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

// What --http asks for, checked before anything starts: a bad value is a
// usage error.
WebServer::Options ListenOptions(const std::string& http) {
    WebServer::Options options;
    std::tie(options.host, options.port) = WebServer::ParseListen(http);
    return options;
}

// `history --http`: the history page of an existing file, read-only, until
// SIGINT or SIGTERM.
int ServeHistory(const std::string& db, WebServer::Options options) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    // Blocked before the server's threads exist, so only sigwait sees them.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    try {
        SqliteHistoryQuery query(db);
        options.history = &query;
        WebServer server(options);
        server.Start();
        if (!server.Warning().empty()) std::cerr << "bench-host: warning: " << server.Warning() << std::endl;
        std::cout << "history page: " << server.Url() << "history" << std::endl;
        int sig = 0;
        sigwait(&stop, &sig);
        server.Stop();
        return 0;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

// `run --http`: the live page, the history page of the run's file and
// /metrics, served while the run goes on.
int RunWithPage(const SiteHost::Options& run_options, WebServer::Options options) {
    SnapshotHub hub;
    WebOutput output(hub);
    std::unique_ptr<SqliteHistoryQuery> query;
    std::unique_ptr<WebServer> server;
    SiteHost host(run_options);
    host.Add(SiteHost::Companion{&output, [&](const std::string& history_file) {
                                     if (!history_file.empty())
                                         query = std::make_unique<SqliteHistoryQuery>(history_file);
                                     options.live = &hub;
                                     options.history = query.get();
                                     server = std::make_unique<WebServer>(options);
                                     server->Start();
                                     return SiteHost::Started{server->Url(), server->Warning()};
                                 }});
    const int status = host.Run();
    if (server) server->Stop();
    return status;
}

// Writes text to path whole, or says why not.
std::string WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out << text;
    if (out) out.close();
    if (!out) return "cannot write " + path + ": " + std::strerror(errno);
    return {};
}

struct ReportFiles {
    std::string html, json, pdf;
};

int Report(const std::string& db, const StringReport::Options& options, const ReportFiles& files) {
    try {
        HistoryStore store(db, HistoryStore::Access::kReadOnly);
        if (!store.Unread().empty()) std::cerr << "bench-host: " << store.Unread() << std::endl;
        StringReport report = StringReport::Build(store.Reader(), db, options);
        report.unread = store.Unread();
        if (const std::string damage = store.Reader().Damage(); !damage.empty()) {
            std::cerr << "bench-host: " << damage << std::endl;
            report.unread += (report.unread.empty() ? "" : "; ") + damage;
        }
        if (std::string e = WriteFile(files.html, report.ToHtml()); !e.empty()) return Fail(e);
        std::cout << "report: " << files.html << std::endl;
        // The verdict of each string, and what it rests on most, as the
        // report opens with it.
        for (const auto& v : report.verdicts)
            std::cout << TextEscape::Line("verdict: device " + std::to_string(v.id) + ": " + v.verdict.state +
                                          (v.verdict.findings.empty() ? std::string()
                                                                      : "; " + v.verdict.findings.front().text))
                      << std::endl
                      << "  battery data and limits: " << TextEscape::Line(v.battery_from.Text()) << std::endl;
        if (!files.json.empty()) {
            Json::StreamWriterBuilder b;
            b["indentation"] = " ";
            b["emitUTF8"] = true;
            // Figures at most to the tenth of a millivolt they are computed
            // to, never a double's residue (44.899999999999999).
            b["precision"] = 4;
            b["precisionType"] = "decimal";
            // JsonCpp writes a string's bytes as they are: a note that is
            // not UTF-8 would make the whole file invalid.  The document's
            // own bytes are ASCII, so only such a string's bytes change.
            if (std::string e = WriteFile(files.json, utf8::Valid(Json::writeString(b, report.ToJson())) + "\n");
                !e.empty())
                return Fail(e);
            std::cout << "report JSON: " << files.json << std::endl;
        }
        if (!files.pdf.empty()) {
            if (std::string e = PrintPdf(files.html, files.pdf); !e.empty()) return Fail(e);
            std::cout << "report PDF: " << files.pdf << std::endl;
        }
        long rounds = 0;
        for (const auto& d : report.devices) rounds += d.watch.rounds;
        if (rounds == 0) std::cerr << "bench-host: nothing stored in that period" << (options.device_id ? " for that device" : "") << std::endl;
        return 0;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

// --set: the verdict figures of the period become each device's newest
// baseline; --show: each device's newest baseline.
int Baseline(const std::string& db, const StringReport::Options& options, bool set) {
    try {
        std::vector<history::Baseline> shown;
        if (set) {
            std::vector<history::Baseline> kept;
            {
                HistoryStore store(db, HistoryStore::Access::kReadOnly);
                const StringReport r = StringReport::Build(store.Reader(), db, options);
                const TimeStamp now = TimeStamp::Now();
                for (std::size_t i = 0; i < r.devices.size() && i < r.verdicts.size(); ++i) {
                    const auto& w = r.devices[i].watch;
                    if (w.rounds == 0) continue;
                    auto b = report::StringBaseline::From(r.verdicts[i], options.from_ms.value_or(w.first_ms),
                                                          options.to_ms.value_or(w.last_ms), w.last_at, now.Text(),
                                                          now.Ms());
                    if (!report::StringBaseline::HoldsAnything(b)) {
                        std::cerr << "bench-host: device " << b.device_id << ": "
                                  << report::StringBaseline::NothingKept(r.verdicts[i]) << std::endl;
                        continue;
                    }
                    const std::string& why = r.verdicts[i].figures.resistance_note;
                    if (!why.empty())
                        std::cerr << "bench-host: device " << b.device_id << ": no resistance in the baseline: " << why
                                  << std::endl;
                    std::cerr << "bench-host: device " << b.device_id
                              << ": figures taken with the battery data " << r.verdicts[i].battery_from.Text()
                              << std::endl;
                    kept.push_back(std::move(b));
                }
            }
            if (kept.empty()) return Fail("nothing to keep as a baseline in that period");
            SqlConnection out(db, SqlConnection::Open::kCreate);
            for (const auto& b : kept) BaselineStore::Set(out, b);
            shown = kept;
        } else {
            HistoryStore store(db, HistoryStore::Access::kReadOnly);
            const auto conn = HistoryReader::OpenReadOnly(db);
            const auto ids =
                options.device_id ? std::vector<uint32_t>{*options.device_id} : store.Reader().DeviceIds();
            for (const uint32_t id : ids) {
                if (auto b = BaselineStore::Newest(*conn, id)) shown.push_back(std::move(*b));
                else std::cout << "device " << id << ": no baseline" << std::endl;
            }
        }
        for (const auto& b : shown) std::cout << report::StringBaseline::Text(b);
        return 0;
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    // glibc gives each thread that allocates an arena of its own, up to
    // eight per core, and keeps what an arena once held: with the web
    // page's worker threads that was 15 arenas of about 330 KiB each,
    // resident memory rising for half an hour before it levelled off.  The
    // bench host allocates little and seldom at once; two arenas serve it.
    mallopt(M_ARENA_MAX, 2);
    CLI::App app{"bench-host: loads the battery-string plug-in and runs its devices on a bench"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "bench-host " BENCH_HOST_VERSION);
    app.footer(kExitStatuses);

    std::string plugin_path;

    CLI::App* replay = app.add_subcommand("replay", "Replay a scenario of host operations (JSON Lines) and print "
                                                    "every host call and result as JSON lines");
    std::string scenario;
    replay->add_option("--plugin", plugin_path, "The plug-in library (default: the one built beside this program)")
        ->check(kNotEmpty);
    replay->add_option("SCENARIO", scenario, "Scenario file, or - for standard input")->required();

    CLI::App* run = app.add_subcommand("run", "Poll the site's devices on their serial lines, with live view, "
                                              "history and alarms");
    SiteHost::Options run_options;
    run->add_option("--config", run_options.config_path, "Site file (JSON)")->required()->check(kNotEmpty);
    run->add_option("--plugin", run_options.plugin, "The plug-in library (default: the site file's, else the one "
                                                    "built beside this program)")
        ->check(kNotEmpty);
    run->add_option("--db", run_options.db, "History database (default: the site file's)")->check(kNotEmpty);
    run->add_option("--port", run_options.ports, "Serial port path replacing the site file's, in the order of its "
                                                 "ports (repeat for several)")
        ->check(kNotEmpty);
    run->add_flag("--json", run_options.json,
                  "JSON lines instead of the live view: rounds, health changes, alarms, ports, the summary");
    run->add_flag("--trace", run_options.trace, "Print every byte sent and received with a time stamp");
    run->add_option("--plugin-log", run_options.plugin_log,
                    "Also append the plug-in's console lines, time-stamped, to this file (the live view shows only "
                    "their count and the last one)")
        ->check(kNotEmpty);
    run->add_option("--rounds", run_options.rounds, "Stop after N cycles of every device")
        ->check(command_line::AboveZero("run until stopped"));
    run->add_option("--duration", run_options.duration,
                    "Stop after this many seconds.  A stop (this, --rounds, Ctrl-C, SIGTERM) ends polling at once and "
                    "gives the history " + std::to_string(StopBudget::kTotal.count()) +
                        " s: what the disk has not taken by then is counted as not stored, and the summary and the "
                        "run's end are written; a second stop ends that wait at once")
        ->check(command_line::AboveZero("run until stopped"));
    run->add_option("--keep-rounds-days", run_options.keep_rounds_days,
                    "Keep the raw rounds for N days (0: for good); the per-minute summary, alarms, health and runs "
                    "are always kept [default: the site file's \"keep_rounds_days\", else 0]")
        ->check(command_line::Range(0, SiteConfig::kMaxKeepRoundsDays));
    run->add_option("--test", run_options.test_note,
                    "Mark the run as a capacity test, with a note saying which (e.g. \"annual test, 10 A load bank\"): "
                    "stored with the run, and the report takes the run's discharge as the test even where its current "
                    "was not steady or it was short")
        ->check(kNotEmpty);
    std::string run_http;
    run->add_option("--http", run_http,
                    "Serve the live page, the history page and /metrics on [ADDR:]PORT while the run goes on "
                    "(ADDR 127.0.0.1 unless given; the page has no authentication)");

    CLI::App* history = app.add_subcommand("history", "Print the rounds stored by bench-host run, decoded");
    std::string db;
    HistoryReport::Options history_options;
    uint32_t history_id = 0;
    bool alarms = false;
    bool runs = false;
    bool health = false;
    history->add_option("--db", db, "History database (read only; also in a folder that cannot be written)")
        ->required()
        ->check(kNotEmpty);
    CLI::Option* id_opt = history->add_option("--id", history_id, "Only this device");
    CLI::Option* csv_opt = history->add_flag("--csv", history_options.csv, "Comma-separated values with a header line");
    history->add_option("--cells", history_options.cells, "Cells shown per record (default 29)")->check(command_line::Range(1, 32));
    CLI::Option* alarms_opt = history->add_flag("--alarms", alarms, "Print the stored alarms instead of the rounds");
    CLI::Option* runs_opt =
        history->add_flag("--runs", runs, "Print the runs (plug-in path and SHA-256, site file, version) instead of the "
                                          "rounds")
            ->excludes(alarms_opt);
    CLI::Option* health_opt =
        history->add_flag("--health", health,
                          "Print the devices' health changes (not answering, answering again, port lost, stale) "
                          "instead of the rounds")
            ->excludes(alarms_opt)
            ->excludes(runs_opt);
    std::string history_http;
    history->add_option("--http", history_http,
                        "Serve the history page of the file on [ADDR:]PORT until stopped, read-only (ADDR 127.0.0.1 "
                        "unless given; the page has no authentication)")
        ->excludes(alarms_opt)
        ->excludes(runs_opt)
        ->excludes(health_opt)
        ->excludes(id_opt)
        ->excludes(csv_opt);
    CLI::App* report_cmd = app.add_subcommand(
        "report", "Write a report of the strings in a history: how well they were watched, the cells at rest and under "
                  "discharge, the discharges and the alarms, as one HTML file (and JSON, PDF)");
    std::string report_db, report_from, report_to;
    uint32_t report_id = 0;
    ReportFiles report_files;
    StringReport::Options report_options;
    report::Settings& rs = report_options.settings;
    report_cmd->add_option("--db", report_db, "History database (read only)")->required()->check(kNotEmpty);
    CLI::Option* report_id_opt = report_cmd->add_option("--id", report_id, "Only this device");
    report_cmd->add_option("--from", report_from, "Start of the period, ISO 8601 (2026-12-08T10:00+08:00; local time "
                                                  "without a zone) [default: the first round]");
    report_cmd->add_option("--to", report_to, "End of the period, ISO 8601 [default: the last round]");
    report_cmd->add_option("--out", report_files.html, "The HTML report to write")->required()->check(kNotEmpty);
    report_cmd->add_option("--json", report_files.json, "Also write the figures as JSON to this file")->check(kNotEmpty);
    report_cmd->add_option("--pdf", report_files.pdf, "Also print the report to this PDF with headless Chromium")
        ->check(kNotEmpty);
    std::string report_site, baseline_site;
    report_cmd->add_option("--site", report_site,
                           "Judge by this site file's battery data and limits, on purpose, instead of those each run "
                           "stored [default: the runs' own]")
        ->check(kNotEmpty);
    report_cmd->add_option("--cells", rs.cells, "Cells in use per record")->capture_default_str()->check(command_line::Range(1, 32));
    report_cmd->add_option("--discharge-amps", rs.discharge_amps,
                           "A round with the current at or below minus this many amperes is under discharge")
        ->capture_default_str()
        ->check(command_line::AboveZero("use the default"));
    report_cmd->add_option("--discharge-min-s", rs.discharge_min_s,
                           "Shortest discharge, seconds; shorter ones are load steps")
        ->capture_default_str()
        ->check(command_line::Range(0.0, 1e9));
    report_cmd->add_option("--max-gap-s", rs.max_gap_s, "Seconds without a round that end a discharge")
        ->capture_default_str()
        ->check(command_line::AboveZero("use the default"));
    report_cmd->add_option("--flag-rest-mv", rs.flag_rest_mv,
                           "Flag a cell whose mean deviation at rest goes past this many millivolts")
        ->capture_default_str()
        ->check(command_line::AboveZero("use the default"));
    report_cmd->add_option("--flag-discharge-mv", rs.flag_discharge_mv,
                           "Flag a cell whose mean deviation under discharge goes past this many millivolts")
        ->capture_default_str()
        ->check(command_line::AboveZero("use the default"));
    CLI::App* baseline_cmd = app.add_subcommand(
        "baseline", "Keep a string's baseline from a period of its history (each block's float voltage and "
                    "resistance, the temperature, the capacity of a test), or show the newest");
    std::string baseline_db, baseline_from, baseline_to;
    uint32_t baseline_id = 0;
    bool baseline_set = false, baseline_show = false;
    baseline_cmd->add_option("--db", baseline_db, "History database")->required()->check(kNotEmpty);
    CLI::Option* baseline_id_opt = baseline_cmd->add_option("--id", baseline_id, "Only this device");
    baseline_cmd->add_option("--from", baseline_from, "Start of the period, ISO 8601 [default: the first round]");
    baseline_cmd->add_option("--to", baseline_to, "End of the period, ISO 8601 [default: the last round]");
    baseline_cmd->add_option("--site", baseline_site,
                             "Take the figures with this site file's battery data, on purpose, instead of those each "
                             "run stored [default: the runs' own]")
        ->check(kNotEmpty);
    CLI::Option* set_opt = baseline_cmd->add_flag("--set", baseline_set, "Keep the period's figures as the baseline");
    baseline_cmd->add_flag("--show", baseline_show, "Show the newest baseline")->excludes(set_opt);
    for (CLI::App* sub : {replay, run, history, report_cmd, baseline_cmd}) sub->footer(kExitStatuses);

    if (const auto status = command_line::Parse(app, argc, argv, "bench-host")) return *status;

    if (replay->parsed()) return Replay(plugin_path, scenario);
    // The period of report and baseline: 2 for a time that is not one.
    auto period = [](const std::string& from, const std::string& to, StringReport::Options& o) -> std::optional<int> {
        for (const auto& [text, into, name] :
             {std::tuple{&from, &o.from_ms, "--from"}, std::tuple{&to, &o.to_ms, "--to"}}) {
            if (text->empty()) continue;
            *into = ParseIsoTime(*text);
            if (!*into) {
                std::cerr << "bench-host: " << name << ": not an ISO 8601 time: " << *text << std::endl;
                return kUsage;
            }
        }
        if (o.from_ms && o.to_ms && *o.from_ms > *o.to_ms) {
            std::cerr << "bench-host: --from lies after --to" << std::endl;
            return kUsage;
        }
        return std::nullopt;
    };
    // The site file given on purpose: one that does not read is a setup
    // error, said before anything is read.
    auto given_site = [](const std::string& path, StringReport::Options& o) -> std::optional<int> {
        if (path.empty()) return std::nullopt;
        try {
            o.site = SiteConfig::Load(path);
            o.site_path = std::filesystem::absolute(path).string();
        } catch (const std::exception& e) {
            return Fail(std::string("--site: ") + e.what());
        }
        return std::nullopt;
    };
    if (report_cmd->parsed()) {
        if (const auto status = period(report_from, report_to, report_options)) return *status;
        if (const auto status = given_site(report_site, report_options)) return *status;
        if (report_id_opt->count()) report_options.device_id = report_id;
        return Report(report_db, report_options, report_files);
    }
    if (baseline_cmd->parsed()) {
        if (!baseline_set && !baseline_show) {
            std::cerr << "bench-host: baseline: --set or --show is needed" << std::endl;
            return kUsage;
        }
        StringReport::Options o;
        if (const auto status = period(baseline_from, baseline_to, o)) return *status;
        if (const auto status = given_site(baseline_site, o)) return *status;
        if (baseline_id_opt->count()) o.device_id = baseline_id;
        return Baseline(baseline_db, o, baseline_set);
    }
    const std::string& http = run->parsed() ? run_http : history_http;
    std::optional<WebServer::Options> web;
    if (!http.empty()) {
        try {
            web = ListenOptions(http);
        } catch (const std::invalid_argument& e) {
            std::cerr << "bench-host: --http: " << e.what() << std::endl;
            return kUsage;
        }
    }
    if (run->parsed()) {
        // A file-size limit (ulimit -f) must show as history writes that
        // fail, reported and counted, not end the run.
        std::signal(SIGXFSZ, SIG_IGN);
        return web ? RunWithPage(run_options, *web) : SiteHost(run_options).Run();
    }
    if (history->parsed()) {
        if (web) return ServeHistory(db, *web);
        if (id_opt->count()) history_options.device_id = history_id;
        return History(db, history_options,
                       alarms ? Listing::kAlarms : runs ? Listing::kRuns : health ? Listing::kHealth : Listing::kRounds);
    }
    return 1;
}
