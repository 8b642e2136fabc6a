// The built monitor-sim, run as a bench script would run it: on a new
// pseudo-terminal, found through its "pty:" line or its link, spoken to with
// request frames, stopped by a signal or by its own limits.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "protocol/MonitorProtocol.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(5);  // only ever reached when something is broken

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// monitor-sim as a child process, its standard output read through a pipe.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        out_ = fds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<std::string> all{MONITOR_SIM_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, MONITOR_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
    }

    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    bool Started() const { return pid_ > 0; }

    // The next line of standard output, without its line end; empty when
    // none came in time.
    std::string ReadLine() {
        const auto deadline = Clock::now() + kPatience;
        for (;;) {
            const auto nl = text_.find('\n');
            if (nl != std::string::npos) {
                std::string line = text_.substr(0, nl);
                text_.erase(0, nl + 1);
                return line;
            }
            if (!ReadMore(deadline)) return {};
        }
    }

    void Signal(int sig) { kill(pid_, sig); }

    // Waits for the process to end (its output closes first) and returns
    // its exit status with the rest of its output; nothing if it outlives
    // our patience.
    std::optional<int> Wait(std::string* rest) {
        const auto deadline = Clock::now() + kPatience;
        while (ReadMore(deadline)) {
        }
        if (MsLeft(deadline) == 0) return std::nullopt;
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) return std::nullopt;
        pid_ = -1;
        if (rest) *rest = text_;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    bool ReadMore(Clock::time_point deadline) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) <= 0) return false;
        char buf[512];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return false;
        text_.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string text_;
};

// The master's end of the line, opened like a serial port.
class Port {
public:
    explicit Port(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios tio{};
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Port() {
        if (fd_ >= 0) close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }

    void Write(const std::vector<uint8_t>& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

    // Exactly n bytes, or what came before the patience ran out.
    std::vector<uint8_t> Read(size_t n) {
        std::vector<uint8_t> got;
        const auto deadline = Clock::now() + kPatience;
        while (got.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
            uint8_t buf[128];
            const ssize_t r = read(fd_, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }

    // Whatever is already waiting, without waiting for more.
    size_t Waiting() {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0 ? 1 : 0;
    }

private:
    int fd_;
};

std::vector<uint8_t> Request(uint8_t addr, uint8_t command) {
    const auto f = monitor::BuildRequest(addr, command);
    return {f.begin(), f.end()};
}

std::string PtyPath(const std::string& line) {
    const std::string prefix = "pty: ";
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : std::string{};
}

// A simulator started on a pseudo-terminal of its own, and the master's
// end of that line opened raw.
struct SimOnPty {
    explicit SimOnPty(const std::vector<std::string>& args)
        : sim(args), path(sim.Started() ? PtyPath(sim.ReadLine()) : std::string{}), port(path) {}
    bool Ready() const { return !path.empty() && port.IsOpen(); }
    SimProcess sim;
    const std::string path;
    Port port;
};

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "monitor_sim_" + std::to_string(getpid()) + "_" + name;
}

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

}  // namespace

TEST(MonitorSimTool, AnswersOnAPtyAtItsOwnAddressesOnly) {
    const std::string values = TempPath("values.jsonl");
    SimOnPty line({"--drift", "0", "--weak-cell", "5:11.2", "--addr", "0x81", "--addr", "0x82", "--values-log", values});
    ASSERT_TRUE(line.Ready()) << line.path;
    SimProcess& sim = line.sim;
    Port& port = line.port;

    port.Write(Request(0x81, monitor::kCmdCellVoltages));
    const auto cells = port.Read(monitor::kLongReplyLen);
    ASSERT_EQ(cells.size(), size_t(monitor::kLongReplyLen));
    EXPECT_TRUE(monitor::AcceptReply(cells.data(), 67, 67, 0x81));
    EXPECT_EQ(monitor::ReadU16(cells.data(), monitor::CellSlotOffset(0)), 1350);
    EXPECT_EQ(monitor::ReadU16(cells.data(), monitor::CellSlotOffset(5)), 1120);
    EXPECT_EQ(monitor::ReadU16(cells.data(), monitor::CellSlotOffset(28)), 1350);
    EXPECT_EQ(monitor::ReadU16(cells.data(), monitor::CellSlotOffset(29)), 0);

    // Line noise before a request to the second monitor.
    auto noisy = std::vector<uint8_t>{0x00, 0x13, 0xFE};
    const auto req = Request(0x82, monitor::kCmdStringVoltage);
    noisy.insert(noisy.end(), req.begin(), req.end());
    port.Write(noisy);
    const auto string = port.Read(monitor::kShortReplyLen);
    ASSERT_EQ(string.size(), 5u);
    EXPECT_TRUE(monitor::AcceptReply(string.data(), 5, 5, 0x82));
    EXPECT_EQ(monitor::ReadU16(string.data(), 2), 3892);  // 28 x 13.5 V + 11.2 V, in tenths

    // A request to a monitor that is not simulated goes unanswered: the
    // next reply on the line is the one to the request after it.
    auto two = Request(0x83, monitor::kCmdTemperature);
    const auto mine = Request(0x81, monitor::kCmdTemperature);
    two.insert(two.end(), mine.begin(), mine.end());
    port.Write(two);
    const auto temp = port.Read(monitor::kShortReplyLen);
    ASSERT_EQ(temp.size(), 5u);
    EXPECT_TRUE(monitor::AcceptReply(temp.data(), 5, 5, 0x81));
    EXPECT_EQ(monitor::ReadU16(temp.data(), 2), 2500);
    EXPECT_EQ(port.Waiting(), 0u);

    sim.Signal(SIGTERM);
    std::string rest;
    EXPECT_EQ(sim.Wait(&rest), 0);
    EXPECT_NE(rest.find("3 requests (1 to other addresses"), std::string::npos) << rest;
    EXPECT_NE(rest.find("3 replies (3 intact)"), std::string::npos) << rest;

    const auto logged = Lines(values);
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_NE(logged[0].find(R"("addr":129,"cmd":161,"kind":"cells","raw":[1350,1350,1350,1350,1350,1120,)"),
              std::string::npos)
        << logged[0];
    EXPECT_NE(logged[1].find(R"("addr":130,"cmd":162,"kind":"group_voltage","raw":3892})"), std::string::npos)
        << logged[1];
    EXPECT_NE(logged[2].find(R"("addr":129,"cmd":164,"kind":"temperature","raw":2500})"), std::string::npos)
        << logged[2];
    std::remove(values.c_str());
}

// A busy monitor: while a reply is held back, the requests that come to it
// are kept and answered after it, in the order they came, each its own
// reply.  Only that monitor is busy: another one on the bus holds back its
// own reply alongside, not after it.
TEST(MonitorSimTool, LateReplyKeepsTheRequestsBehindItInOrder) {
    struct Reply {
        uint8_t addr;
        uint16_t raw;
        int at_least_ms, at_most_ms;  // after the first request
    };
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::pair<uint8_t, uint8_t>> first, after_50ms;  // (addr, command) requests
        std::vector<Reply> replies;
        const char* late;
    } cases[] = {
        {"one monitor",
         {},
         {{0x81, monitor::kCmdStringVoltage}},
         {{0x81, monitor::kCmdCurrent}, {0x81, monitor::kCmdTemperature}},
         {{0x81, 3915, 300, 5000}, {0x81, 5, 600, 5000}, {0x81, 2500, 600, 5000}},  // 0.5 A: the default float current
         "3 late"},
        {"two monitors, each late on its own",
         {"--addr", "0x81", "--addr", "0x82"},
         {{0x81, monitor::kCmdStringVoltage}},
         {{0x82, monitor::kCmdCurrent}},
         {{0x81, 3915, 300, 590}, {0x82, 5, 350, 590}},
         "2 late"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"--drift", "0", "--late", "1:300", "--seed", "5"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SimOnPty line(args);
        ASSERT_TRUE(line.Ready()) << line.path;
        SimProcess& sim = line.sim;
        Port& port = line.port;

        const auto frames = [](const std::vector<std::pair<uint8_t, uint8_t>>& requests) {
            std::vector<uint8_t> all;
            for (const auto& [addr, command] : requests) {
                const auto one = Request(addr, command);
                all.insert(all.end(), one.begin(), one.end());
            }
            return all;
        };
        const auto start = Clock::now();
        port.Write(frames(c.first));
        usleep(50000);
        port.Write(frames(c.after_50ms));
        for (size_t i = 0; i < c.replies.size(); ++i) {
            const Reply& want = c.replies[i];
            const auto reply = port.Read(monitor::kShortReplyLen);
            ASSERT_EQ(reply.size(), 5u) << "reply " << i;
            EXPECT_TRUE(monitor::AcceptReply(reply.data(), 5, 5, want.addr)) << "reply " << i;
            const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            EXPECT_GE(at, want.at_least_ms) << "reply " << i;
            EXPECT_LE(at, want.at_most_ms) << "reply " << i;
            EXPECT_EQ(monitor::ReadU16(reply.data(), 2), want.raw) << "reply " << i;
        }
        sim.Signal(SIGTERM);
        std::string rest;
        EXPECT_EQ(sim.Wait(&rest), 0);
        EXPECT_NE(rest.find(c.late), std::string::npos) << rest;
    }
}

// An address given twice is two monitors set to it: both answer every
// request, the second read apart by --twin-offset.  Unpaced, the two
// answers come one after the other; paced, byte by byte as they would
// collide on the wire, the second --twin-delay-ms behind.  The faults are
// the first monitor's: dropped, only the second answers.  The values log
// tells the two apart.
TEST(MonitorSimTool, TwoMonitorsAtOneAddressBothAnswer) {
    const auto first = monitor::BuildShortReply(0x81, 2500), second = monitor::BuildShortReply(0x81, 4000);
    std::vector<uint8_t> in_turn(first.begin(), first.end()), alternating;
    in_turn.insert(in_turn.end(), second.begin(), second.end());
    for (std::size_t i = 0; i < first.size(); ++i) alternating.insert(alternating.end(), {first[i], second[i]});
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::vector<uint8_t> temperature;  // the line's bytes for one temperature request
        const char* summary;
        std::vector<const char*> logged;
    } cases[] = {
        {"unpaced: one answer after the other",
         {},
         in_turn,
         "1 requests (0 to other addresses, 0 unknown commands), 2 replies (2 intact)",
         {R"("raw":2500})", R"("raw":4000,"twin":1})"}},
        {"paced, the second a quarter millisecond behind",
         {"--pace", "--turnaround-ms", "0", "--twin-delay-ms", "0.25"},
         alternating,
         "2 replies (2 intact)",
         {R"("raw":2500})", R"("raw":4000,"twin":1})"}},
        {"the first's reply dropped",
         {"--drop", "1", "--seed", "3"},
         {second.begin(), second.end()},
         "1 replies (1 intact), 1 faults injected (0 silent, 1 dropped",
         {R"("raw":4000,"twin":1})"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string values = TempPath("twin.jsonl");
        std::vector<std::string> args{"--drift", "0", "--addr", "0x81", "--addr", "129", "--twin-offset",
                                      "-1.3:28.5:15", "--values-log", values};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SimOnPty line(args);
        ASSERT_TRUE(line.Ready()) << line.path;
        SimProcess& sim = line.sim;
        Port& port = line.port;

        port.Write(Request(0x81, monitor::kCmdTemperature));
        EXPECT_EQ(port.Read(c.temperature.size()), c.temperature);
        sim.Signal(SIGTERM);
        std::string rest;
        EXPECT_EQ(sim.Wait(&rest), 0);
        EXPECT_NE(rest.find(c.summary), std::string::npos) << rest;
        const bool both = c.logged.size() == 2;
        EXPECT_EQ(rest.find("1 answered by two monitors at one address") != std::string::npos, both) << rest;
        const auto logged = Lines(values);
        ASSERT_EQ(logged.size(), c.logged.size());
        for (std::size_t i = 0; i < logged.size(); ++i)
            EXPECT_NE(logged[i].find(c.logged[i]), std::string::npos) << logged[i];
        std::remove(values.c_str());
    }
}

TEST(MonitorSimTool, FoundThroughItsLinkAndStopsByItselfAfterMaxRequests) {
    const std::string link = TempPath("link");
    SimProcess sim({"--pty-link", link, "--max-requests", "2", "--drop", "1", "--seed", "1"});
    ASSERT_TRUE(sim.Started());
    const std::string path = PtyPath(sim.ReadLine());
    ASSERT_FALSE(path.empty());
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);

    Port port(link);
    ASSERT_TRUE(port.IsOpen());
    auto both = Request(0x81, monitor::kCmdCellVoltages);
    const auto second = Request(0x81, monitor::kCmdCurrent);
    both.insert(both.end(), second.begin(), second.end());
    port.Write(both);

    std::string rest;
    EXPECT_EQ(sim.Wait(&rest), 0);
    EXPECT_NE(rest.find("2 requests"), std::string::npos) << rest;
    EXPECT_NE(rest.find("0 replies"), std::string::npos) << rest;
    EXPECT_NE(rest.find("2 dropped"), std::string::npos) << rest;
    char gone[256];
    EXPECT_LT(readlink(link.c_str(), gone, sizeof gone), 0) << "the link outlived the simulator";
}

// Usage errors, CLI11's and the simulator's own checks alike, end with 2;
// a port that cannot be opened with 1.
TEST(MonitorSimTool, ExitStatusOfCommandLines) {
    struct {
        std::vector<std::string> args;
        int status;
        const char* in_output;
    } cases[] = {
        {{"--help"}, 0, "--weak-cell"},
        {{"--duration", "0.05"}, 0, "0 requests"},
        {{"--weak-cell", "40:11"}, 2, ""},
        {{"--weak-cell", "0x83/1:11"}, 2, ""},  // not an address we answer at
        {{"--addr", "0x100"}, 2, ""},
        {{"--drop", "1.5"}, 2, ""},
        {{"--cells", "33"}, 2, ""},
        {{"--baud", "12345"}, 2, ""},
        {{"--dorp", "0.1"}, 2, ""},  // a slip: CLI11 alone exits 109 here
        {{"--addr"}, 2, ""},
        {{"stray"}, 2, ""},
        {{"--port", "/nonexistent/tty"}, 1, ""},
        {{"--discharge", "20:5:30"}, 2, ""},  // without the sensor the current cannot go below 0 A
        {{"--discharge", "20:5"}, 2, ""},
        {{"--high-resistance", "0x83/1:2"}, 2, ""},
        // Options that cannot combine are refused (the reason on standard error).
        {{"--battery", "--millivolts"}, 2, ""},
        {{"--battery", "--cell-voltage", "13.2"}, 2, ""},
        {{"--capacity-test", "10:5"}, 2, ""},
        {{"--pty-group", "dialout", "--port", "/dev/null"}, 2, ""},  // a port keeps its own group
        {{"--pty-group", "no-such-group-here", "--duration", "0.05"}, 1, ""},
        {{"--pty-group", "", "--duration", "0.05"}, 2, ""},
        // A second monitor at one address must read what the bus carries.
        {{"--twin-offset", "1:2:3:4"}, 2, ""},
        {{"--addr", "0x81", "--addr", "0x81", "--twin-offset", "-14"}, 2, ""},
        {{"--addr", "0x81", "--addr", "0x81", "--addr", "0x81", "--twin-offset", "0:0:-13"}, 2, ""},
        {{"--addr", "0x81", "--addr", "0x81", "--twin-offset", "0:0:-13", "--duration", "0.05"}, 0, "0 requests"},
        {{"--twin-delay-ms", "-1"}, 2, ""},
    };
    for (const auto& c : cases) {
        SimProcess sim(c.args);
        ASSERT_TRUE(sim.Started());
        std::string out;
        const auto status = sim.Wait(&out);
        ASSERT_TRUE(status.has_value()) << c.args[0];
        EXPECT_EQ(*status, c.status) << c.args[0];
        EXPECT_NE(out.find(c.in_output), std::string::npos) << c.args[0] << ": " << out;
    }
}

// A second simulator never takes over the link of one still running: it
// refuses, and the first keeps its link to the end.
TEST(MonitorSimTool, ALinkHeldByARunningSimulatorIsRefused) {
    const std::string link = TempPath("held");
    SimProcess first({"--pty-link", link, "--duration", "3"});
    ASSERT_TRUE(first.Started());
    const std::string path = PtyPath(first.ReadLine());
    ASSERT_FALSE(path.empty());
    SimProcess second({"--pty-link", link, "--duration", "1"});
    ASSERT_TRUE(second.Started());
    std::string out;
    EXPECT_EQ(second.Wait(&out), 1);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << "the second removed the first's link";
    EXPECT_EQ(path, target);
    EXPECT_EQ(first.Wait(&out), 0);
}

// A service in the serial ports' group opens the terminal as it opens a
// serial port: the group named (by name or number) may read and write it,
// others may not, and it is so before the terminal is announced.
TEST(MonitorSimTool, ItsTerminalIsSharedWithTheGroupNamed) {
    const gid_t own = getgid();
    std::vector<std::string> groups{std::to_string(own)};
    if (const struct group* g = getgrgid(own)) groups.push_back(g->gr_name);
    for (const auto& group : groups) {
        SimProcess sim({"--pty-group", group, "--duration", "3"});
        ASSERT_TRUE(sim.Started());
        const std::string path = PtyPath(sim.ReadLine());
        ASSERT_FALSE(path.empty()) << group;
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_gid, own) << group;
        EXPECT_EQ(st.st_mode & 0777u, 0660u) << group;
        sim.Signal(SIGTERM);
        EXPECT_EQ(sim.Wait(nullptr), 0) << group;
    }
}
