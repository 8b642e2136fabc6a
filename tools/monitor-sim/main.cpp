// monitor-sim: a battery monitor on a serial line, for the bench and for
// end-to-end tests.  See README.md beside this file.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "MonitorProfile.h"
#include "SerialLine.h"
#include "Simulator.h"
#include "TraceLog.h"
#include "ValuesLog.h"
#include "protocol/MonitorProtocol.h"

namespace {

using monitor_sim::MonitorProfile;
using monitor_sim::SerialLine;
using monitor_sim::Simulator;

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

// The monitor a device configured with address 1 polls.
constexpr uint8_t kDefaultBusAddr = monitor::BusAddress(1);
constexpr double kMillivoltCellVolts = 6.75;  // a healthy 6 V block on float charge

// Claims link for this process while it runs: a link whose simulator
// still runs must not be taken over (that simulator's master would be cut
// off, and whichever ended first would remove the other's link).  The claim
// is a name in the abstract socket namespace, derived from the link's
// absolute path: the kernel releases it when the process ends, however it
// ends, and it leaves no file behind.  A stale link (its simulator gone,
// its terminal's number maybe reused) is not claimed and is replaced.
bool ClaimPtyLink(const std::string& link) {
    char dir[PATH_MAX];
    const std::string parent = link.find('/') == std::string::npos ? "." : link.substr(0, link.rfind('/') + 1);
    const std::string base = link.substr(link.rfind('/') + 1);
    const std::string absolute = (realpath(parent.empty() ? "/" : parent.c_str(), dir) ? std::string(dir) : parent) + "/" + base;
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const std::string name = "monitor-sim " + std::to_string(std::hash<std::string>{}(absolute));
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // no claim possible; the link is made as before
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0)
        return true;  // held until exit
    close(fd);
    std::fprintf(stderr, "monitor-sim: %s is the link of a simulator still running; name another\n", link.c_str());
    return false;
}

// Points link at target, replacing an earlier link (never a regular file),
// in one step so a script waiting for it never sees it half made.
bool MakePtyLink(const std::string& link, const std::string& target) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "monitor-sim: %s exists and is not a symbolic link; not replacing it\n", link.c_str());
        return false;
    }
    const std::string tmp = link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "monitor-sim: cannot make the link %s: %s\n", link.c_str(), std::strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Removes the link only while it still points at our pseudo-terminal.
void RemovePtyLink(const std::string& link, const std::string& target) {
    char buf[256];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0) return;
    buf[n] = '\0';
    if (target == buf) unlink(link.c_str());
}

std::string AddrList(const std::vector<uint8_t>& addrs) {
    std::string out;
    for (std::size_t i = 0; i < addrs.size(); ++i) {
        const uint8_t a = addrs[i];
        if (std::find(addrs.begin(), addrs.begin() + i, a) != addrs.begin() + i) continue;
        const auto monitors = std::count(addrs.begin(), addrs.end(), a);
        // The address rule is its own inverse: applied to a bus address it
        // gives the configured one.
        char one[80];
        std::snprintf(one, sizeof one, "%s0x%02X (configured as %u%s)", out.empty() ? "" : ", ", a,
                      static_cast<unsigned>(monitor::BusAddress(a)),
                      monitors > 1 ? (", " + std::to_string(monitors) + " monitors").c_str() : "");
        out += one;
    }
    return out;
}

// A check of an option's text by its parser, which throws
// std::invalid_argument saying what is wrong.
template <class Parse>
std::function<std::string(const std::string&)> RefusedBy(Parse parse) {
    return [parse](const std::string& text) {
        try {
            parse(text);
            return std::string{};
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
    };
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "monitor-sim: a battery monitor on a serial line.  Answers the cell-voltage (0xA1), string-voltage "
        "(0xA2), current (0xA3) and temperature (0xA4) requests at one or more bus addresses, with optional "
        "faults.  Without --port it opens a pseudo-terminal and prints \"pty: PATH\" on standard output."};
    app.get_formatter()->column_width(34);
    app.set_version_flag("--version", "monitor-sim " MONITOR_SIM_VERSION);

    std::string port;
    int baud = 19200;
    std::string pty_link;
    std::string pty_group;
    std::vector<std::string> addr_texts;
    MonitorProfile profile;
    std::optional<double> cell_volts;
    std::vector<std::string> weak_texts;
    std::optional<double> string_volts;
    monitor_sim::FaultPlan::Settings faults;
    double split_pause_ms = 20.0;
    std::string stop_text;
    std::optional<uint32_t> seed;
    bool paced = false;
    bool echo = false;
    double turnaround_ms = 5.0;
    bool trace = false;
    std::string values_log;
    std::optional<uint64_t> max_requests;
    std::optional<double> duration;

    auto* line = app.add_option_group("Line");
    line->add_option("--port", port, "serial port to answer on (8N1, raw); without it, a new pseudo-terminal");
    line->add_option("--baud", baud, "line speed in bit/s; also the byte time of --pace")
        ->capture_default_str()
        ->check([](const std::string& s) {
            try {
                return SerialLine::SupportedBaud(std::stoi(s)) ? std::string{} : "unsupported line speed " + s;
            } catch (const std::exception&) {
                return "not a line speed: " + s;
            }
        });
    line->add_option("--pty-link", pty_link,
                     "also make PATH a symbolic link to the pseudo-terminal (removed on exit); "
                     "it appears when the line is ready");
    line->add_option("--pty-group", pty_group,
                     "let this group (e.g. dialout, the serial ports' group a service runs in) read and write the "
                     "pseudo-terminal, as it does a serial port (mode 660); needs root or a member of the group")
        ->check([](const std::string& s) { return s.empty() ? std::string("must not be empty") : std::string(); });

    auto* mon = app.add_option_group("Monitors");
    mon->add_option("--addr", addr_texts,
                    "bus address to answer at, as on the wire (0x81 is a device configured with address 1); "
                    "repeat for several monitors on one bus; an address given twice is a second monitor set to "
                    "it (a site fault): both answer every request to it [default: 0x81]");
    std::string twin_offset_text;
    mon->add_option("--twin-offset", twin_offset_text,
                    "VOLTS[:AMPS[:DEGREES]]: a second monitor at an address given twice reads every cell VOLTS, "
                    "the current AMPS and the temperature DEGREES above the first (a third, twice that) "
                    "(-1.3:28.5:15) [default: 0, its own drift only]")
        ->check(RefusedBy(monitor_sim::ParseOffset));
    mon->add_option("--cells", profile.cells, "cells in use, 1..32; the slots after them read 0")
        ->capture_default_str();
    mon->add_option("--cell-voltage", cell_volts, "nominal voltage of a healthy cell [default: 13.5, 6.75 with --millivolts]");
    mon->add_option("--drift", profile.drift_volts, "how far, in volts, a healthy cell wanders from nominal; 0 for fixed readings")
        ->capture_default_str();
    mon->add_option("--weak-cell", weak_texts,
                    "[ADDR/]INDEX:VOLTS[:AFTER]: cell INDEX (0-based) reads VOLTS, on every monitor or only at ADDR; "
                    "with AFTER it recovers after that many cell-voltage replies, or seconds with an s suffix "
                    "(5:11.2, 0x82/3:10.9:20, 7:11.0:30s); repeatable");
    mon->add_flag("--millivolts", profile.millivolts, "cell readings in millivolts (6 V blocks), else hundredths of a volt");
    mon->add_option("--string-voltage", string_volts, "fixed string voltage [default: the sum of the cells]");
    mon->add_flag("--string-hundredths", profile.string_hundredths,
                  "string voltage in hundredths of a volt (monitor version 2), else tenths");
    mon->add_option("--current", profile.current_amps, "string current in amperes (raw = A x 10)")->capture_default_str();
    mon->add_flag("--current-sensor", profile.current_sensor,
                  "encode the current as the Hall sensor reads it (raw 2500 = 0 A, 25 per ampere)");
    std::string discharge_text;
    std::vector<std::string> resistance_texts;
    MonitorProfile::Discharge discharge_shape;
    double resistance_mohm = discharge_shape.resistance_ohms * 1000.0;
    mon->add_option("--discharge", discharge_text,
                    "AMPS:START:LENGTH: from START seconds on, for LENGTH seconds, draw AMPS from the string (the "
                    "current reads -AMPS) and let the cells sag; needs --current-sensor (20:5:30)")
        ->check(RefusedBy(monitor_sim::ParseDischarge));
    mon->add_option("--discharge-sag", discharge_shape.sag_volts,
                    "how far, in volts, a healthy cell falls over the whole discharge beyond its I x R drop")
        ->capture_default_str()
        ->check(command_line::Range(0.0, 100.0));
    mon->add_option("--cell-resistance", resistance_mohm, "a healthy cell's internal resistance, milliohms")
        ->capture_default_str()
        ->check(command_line::Range(0.0, 10000.0));
    mon->add_option("--high-resistance", resistance_texts,
                    "[ADDR/]INDEX:FACTOR: cell INDEX (0-based) has FACTOR times the resistance and sags FACTOR "
                    "times as far under discharge (5:3); repeatable")
        ->check(RefusedBy(monitor_sim::ParseHighResistance));
    mon->add_option("--temperature", profile.temperature_c, "temperature in degrees (raw = degrees x 100)")
        ->capture_default_str();
    std::string ramp_text;
    mon->add_option("--temperature-ramp", ramp_text,
                    "TO:START:LENGTH: from START seconds on, over LENGTH seconds, the temperature moves in a line "
                    "from --temperature to TO, then holds; a modelled battery's capacity and float follow it "
                    "(25:60:600)")
        ->check(RefusedBy(monitor_sim::ParseTemperatureRamp));
    std::string stuck_text;
    mon->add_option("--stuck-current", stuck_text,
                    "AMPS[:FROM]: the current reads AMPS from FROM seconds on (default 0), whatever flows: a failed "
                    "sensor; the cells, and a modelled battery, go on as the real current drives them (0, 0:30)")
        ->check(RefusedBy(monitor_sim::ParseStuckCurrent));

    auto* bat = app.add_option_group("Battery model (--battery)");
    bool battery = false;
    MonitorProfile::Battery battery_opts;
    std::vector<std::string> block_capacity_texts;
    std::string capacity_test_text;
    bat->add_flag("--battery", battery,
                  "read the cells from a modelled lead-acid string: per-block capacity, resistance, open-circuit "
                  "voltage against charge, Peukert, temperature; a charger floats it, --discharge is its load, "
                  "--high-resistance ages a block's resistance; the values log carries the model's truth");
    bat->add_option("--capacity-ah", battery_opts.params.capacity_ah, "rated capacity of a block, Ah over --capacity-hours")
        ->capture_default_str()
        ->check(command_line::Range(0.1, 100000.0));
    bat->add_option("--capacity-hours", battery_opts.params.capacity_hours, "the rating's hours")
        ->capture_default_str()
        ->check(command_line::Range(0.01, 1000.0));
    bat->add_option("--peukert", battery_opts.params.peukert, "Peukert exponent")
        ->capture_default_str()
        ->check(command_line::Range(1.0, 2.0));
    bat->add_option("--charge-limit", battery_opts.params.charge_limit_a, "the charger's current limit, A")
        ->capture_default_str()
        ->check(command_line::Range(0.1, 10000.0));
    bat->add_option("--float-voltage", battery_opts.params.float_v, "the charger's float voltage per block at 25 degrees")
        ->capture_default_str()
        ->check(command_line::Range(12.0, 15.0));
    bat->add_option("--state-of-charge", battery_opts.params.start_soc, "every block's charge at the start, 0 to 1")
        ->capture_default_str()
        ->check(command_line::Range(0.0, 1.0));
    bat->add_option("--block-capacity", block_capacity_texts,
                    "[ADDR/]INDEX:PCT: an aged block holding PCT % of the rated capacity (5:80)")
        ->check(RefusedBy(monitor_sim::ParseHighResistance));
    bat->add_option("--capacity-test", capacity_test_text,
                    "AMPS:START: from START seconds on, a steady load of AMPS until the first block reaches "
                    "--end-voltage; then the charger recharges (10:5)");
    bat->add_option("--end-voltage", battery_opts.end_v, "end voltage per block of --capacity-test")
        ->capture_default_str()
        ->check(command_line::Range(1.0, 15.0));
    bat->add_option("--battery-speed", battery_opts.speed, "the model's seconds per second of the run")
        ->capture_default_str()
        ->check(command_line::Range(0.01, 100000.0));

    auto* flt = app.add_option_group(
        "Faults (each drawn once per request, for the first monitor at its address; all randomness from --seed)");
    const auto rate = command_line::Range(0.0, 1.0);
    flt->add_option("--drop", faults.drop, "probability of leaving a request unanswered")->check(rate);
    flt->add_option("--corrupt", faults.corrupt, "probability of changing one byte of a reply (always detectably)")
        ->check(rate);
    flt->add_option("--wrong-addr", faults.wrong_addr, "probability of answering as another address")->check(rate);
    flt->add_option("--wrong-address", faults.wrong_monitor,
                    "probability of answering as another of the monitors answered (--addr), with its address: a "
                    "cross-wired unit; the values log keeps such a reply under the monitor asked, with \"as\"")
        ->check(rate);
    flt->add_option("--garbage", faults.garbage, "probability of noise bytes before a reply")->check(rate);
    flt->add_option("--garbage-max", faults.garbage_max_bytes, "most noise bytes at once")
        ->capture_default_str()
        ->check(command_line::Range(1, 1024));
    flt->add_flag("--garbage-any", faults.garbage_any_byte, "noise may contain the reply start byte 0xED");
    flt->add_option("--split", faults.split, "probability of sending a reply in pieces with pauses")->check(rate);
    flt->add_option("--split-max", faults.split_max_chunks, "most pieces of a split reply")
        ->capture_default_str()
        // At most one byte a piece of the longest reply.
        ->check(command_line::Range(2, monitor::kLongReplyLen));
    flt->add_option("--split-pause-ms", split_pause_ms, "longest pause between pieces, ms")
        ->capture_default_str()
        ->check(command_line::Range(0.0, 10000.0));
    std::string late_text;
    flt->add_option("--late", late_text,
                    "P:MS: probability of holding a whole reply back by MS milliseconds, so that it arrives after "
                    "the master has given up on it (0.1:150); requests that come meanwhile are answered after "
                    "it, in order, as by a busy monitor")
        ->check(RefusedBy(monitor_sim::ParseLate));
    flt->add_option("--silence", faults.silence, "probability of falling silent for --silence-length requests")
        ->check(rate);
    flt->add_option("--silence-length", faults.silence_requests, "requests left unanswered once silent")
        ->capture_default_str()
        ->check(command_line::Range(1, 1000000));
    flt->add_option("--stop-after", stop_text,
                    "N[:M]: answer nothing after N requests; with M, for M requests, then answer again (20:16)")
        ->check(RefusedBy(monitor_sim::ParseStop));
    flt->add_option("--seed", seed, "seed of every random choice (drift and faults) [default: random, printed]");

    auto* run = app.add_option_group("Timing and output");
    run->add_flag("--pace,--wire-speed", paced,
                  "reply at the line's real pace: the request's and each reply byte's wire time "
                  "(10 bits a byte at --baud) and a turnaround delay");
    run->add_flag("--echo", echo,
                  "send every received byte straight back, as a half-duplex RS-485 adapter does");
    run->add_option("--turnaround-ms", turnaround_ms, "the monitor's delay before replying, with --pace")
        ->capture_default_str()
        ->check(command_line::Range(0.0, 10000.0));
    double twin_delay_ms = 1.0;
    run->add_option("--twin-delay-ms", twin_delay_ms,
                    "with --pace, how much later a second monitor at one address starts its answer, its bytes "
                    "interleaving with the first's; unpaced, both answers leave in one write")
        ->capture_default_str()
        ->check(command_line::Range(0.0, 10000.0));
    run->add_flag("--trace,--log", trace, "time-stamped hex line on stderr for every request and reply");
    run->add_option("--values-log", values_log,
                    "write every intact reply's readings to FILE as JSON lines (address and raw values)");
    run->add_option("--max-requests", max_requests, "stop after this many requests to our addresses");
    run->add_option("--duration", duration, "stop after this many seconds")->check(command_line::AboveZero("run until stopped"));

    // Usage errors exit 2, as the simulator's own checks of the values do.
    if (const auto status = command_line::Parse(app, argc, argv, "monitor-sim")) return *status;

    Simulator::Options options;
    try {
        // Kept as given: an address repeated is a further monitor set to it.
        for (const auto& text : addr_texts) options.addrs.push_back(monitor_sim::ParseBusAddress(text));
        if (options.addrs.empty()) options.addrs.push_back(kDefaultBusAddr);
        for (const uint8_t a : options.addrs)
            if (std::find(faults.monitors.begin(), faults.monitors.end(), a) == faults.monitors.end())
                faults.monitors.push_back(a);
        if (!twin_offset_text.empty()) options.twin_offset = monitor_sim::ParseOffset(twin_offset_text);
        for (const auto& text : weak_texts) {
            auto w = monitor_sim::ParseWeakCell(text);
            if (w.addr) {
                bool ours = false;
                for (const uint8_t a : options.addrs) ours = ours || a == *w.addr;
                if (!ours) throw std::invalid_argument("weak cell " + text + " names an address not answered");
            }
            profile.weak_cells.push_back(w);
        }
        for (const auto& text : resistance_texts) {
            auto h = monitor_sim::ParseHighResistance(text);
            if (h.addr) {
                bool ours = false;
                for (const uint8_t a : options.addrs) ours = ours || a == *h.addr;
                if (!ours) throw std::invalid_argument("high-resistance cell " + text + " names an address not answered");
            }
            profile.high_resistance.push_back(h);
        }
        if (!ramp_text.empty()) profile.temperature_ramp = monitor_sim::ParseTemperatureRamp(ramp_text);
        if (!stuck_text.empty()) profile.stuck_current = monitor_sim::ParseStuckCurrent(stuck_text);
        if (!discharge_text.empty()) {
            MonitorProfile::Discharge d = monitor_sim::ParseDischarge(discharge_text);
            d.sag_volts = discharge_shape.sag_volts;
            d.resistance_ohms = resistance_mohm / 1000.0;
            profile.discharge = d;
        }
        if (battery) {
            if (profile.millivolts) throw std::invalid_argument("--battery models 12 V blocks; not with --millivolts");
            // The model's charge and charger set the blocks' voltage: a fixed
            // nominal one would be silently ignored.
            if (cell_volts)
                throw std::invalid_argument(
                    "--battery sets the blocks' voltage from their charge (--float-voltage, --state-of-charge); "
                    "not with --cell-voltage");
            for (const auto& text : block_capacity_texts) {
                const auto c = monitor_sim::ParseHighResistance(text);  // the same INDEX:NUMBER
                if (c.index >= profile.cells || c.factor <= 0 || c.factor > 200)
                    throw std::invalid_argument("block capacity " + text + ": a block in use, 0 to 200 %");
                battery_opts.params.capacity_pct.resize(static_cast<std::size_t>(profile.cells), 100.0);
                battery_opts.params.capacity_pct[static_cast<std::size_t>(c.index)] = c.factor;
            }
            if (!capacity_test_text.empty()) {
                double amps = 0, start = 0;
                char tail = 0;
                if (std::sscanf(capacity_test_text.c_str(), "%lf:%lf%c", &amps, &start, &tail) != 2 || amps <= 0 ||
                    start < 0)
                    throw std::invalid_argument("--capacity-test " + capacity_test_text + ": expected AMPS:START");
                battery_opts.test_amps = amps;
                battery_opts.test_start_s = start;
            }
            battery_opts.params.resistance_ohms = resistance_mohm / 1000.0;
            profile.battery = battery_opts;
        } else if (!block_capacity_texts.empty() || !capacity_test_text.empty()) {
            throw std::invalid_argument("--block-capacity and --capacity-test need --battery");
        }
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "monitor-sim: %s\n", e.what());
        return 2;
    }
    profile.cell_volts = cell_volts ? *cell_volts : (profile.millivolts ? kMillivoltCellVolts : profile.cell_volts);
    profile.string_volts = string_volts;
    // Every monitor set to one address reads its own offset apart: each
    // must still fit the bus.
    long most_twins = 0;
    for (const uint8_t a : faults.monitors)
        most_twins = std::max<long>(most_twins, std::count(options.addrs.begin(), options.addrs.end(), a) - 1);
    for (int twin = 0; twin <= most_twins; ++twin) {
        if (const std::string problem = profile.Twin(twin, options.twin_offset).Problem(); !problem.empty()) {
            std::fprintf(stderr, "monitor-sim: %s%s\n", twin > 0 ? "--twin-offset: " : "", problem.c_str());
            return 2;
        }
    }
    if (!late_text.empty()) {
        const auto late = monitor_sim::ParseLate(late_text);
        faults.late = late.probability;
        faults.late_delay = late.delay;
    }
    if (!stop_text.empty()) {
        const auto stop = monitor_sim::ParseStop(stop_text);
        faults.stop_after = stop.after;
        faults.stop_for = stop.for_requests;
    }
    faults.split_max_pause = std::chrono::microseconds(static_cast<long>(split_pause_ms * 1000.0));
    options.profile = profile;
    options.faults = faults;
    options.seed = seed ? *seed : std::random_device{}();
    options.paced = paced;
    options.echo = echo;
    options.baud = baud;
    options.turnaround = std::chrono::microseconds(static_cast<long>(turnaround_ms * 1000.0));
    options.twin_delay = std::chrono::microseconds(static_cast<long>(twin_delay_ms * 1000.0));
    options.max_requests = max_requests;
    options.duration_s = duration;

    monitor_sim::ValuesLog values;
    if (!values_log.empty() && !values.Open(values_log)) {
        std::fprintf(stderr, "monitor-sim: cannot write %s: %s\n", values_log.c_str(), std::strerror(errno));
        return 1;
    }

    // Stop signals are held back except while the loop waits for the line,
    // so a stop never cuts a reply in half.
    sigset_t stop_signals, wait_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGHUP);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!pty_group.empty() && !port.empty()) {
        std::fprintf(stderr, "monitor-sim: --pty-group is for a pseudo-terminal; a serial port keeps its own group\n");
        return 2;
    }
    std::optional<SerialLine> serial;
    try {
        serial.emplace(port.empty() ? SerialLine::OpenPty(baud) : SerialLine::OpenPort(port, baud));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "monitor-sim: %s\n", e.what());
        return 1;
    }
    if (serial->IsPty()) {
        // Shared before the link appears: whoever waits for the link may
        // open the terminal at once.
        if (!pty_group.empty()) {
            try {
                serial->ShareWithGroup(pty_group);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "monitor-sim: --pty-group: %s\n", e.what());
                return 1;
            }
        }
        if (!pty_link.empty() && (!ClaimPtyLink(pty_link) || !MakePtyLink(pty_link, serial->Path()))) return 1;
        std::printf("pty: %s\n", serial->Path().c_str());
        std::fflush(stdout);
    }
    std::fprintf(stderr, "monitor-sim: %s at %d bit/s, answering at %s; %d cells; seed %u%s\n",
                 serial->Path().c_str(), baud, AddrList(options.addrs).c_str(), profile.cells, options.seed,
                 paced ? "; paced" : "");

    // What a site file must say of the string for the master's figures
    // (capacity, time remaining) to be the model's at its speed.
    if (profile.battery)
        std::fprintf(stderr, "monitor-sim: the modelled string at --battery-speed %g, as a site file's \"battery\": %s\n",
                     profile.battery->speed, profile.battery->SiteBattery().c_str());
    const monitor_sim::TraceLog trace_log(stderr, trace);
    Simulator sim(options, trace_log, values);
    const int status = sim.Run(serial->Fd(), serial->IsPty(), &g_stop, &wait_mask);

    if (serial->IsPty() && !pty_link.empty()) RemovePtyLink(pty_link, serial->Path());
    std::printf("%s\n", sim.Totals().Line().c_str());
    std::fflush(stdout);
    return status;
}
