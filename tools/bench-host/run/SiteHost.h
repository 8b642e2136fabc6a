#pragma once
// `bench-host run`: the site host on a bench.  Puts the parts of a run
// together: the outputs the user asked for, subscribed to the run's events;
// the setup, which makes the site from its file; the host's side of the
// devices' calls; the bus loop; and the summary with the exit status.
#include <functional>
#include <string>

#include "basics/RealClock.h"
#include "run/RunOptions.h"
#include "run/RunSetup.h"
#include "run/StoreThread.h"

class RunOutput;

class SiteHost {
public:
    using Options = RunOptions;

    // Exit statuses.
    static constexpr int kOk = 0;
    static constexpr int kSetupFailed = 1;
    static constexpr int kNeverCompleted = 3;
    static constexpr int kNotStored = 4;  // wins over kNeverCompleted

    // Something served beside the run (the web page): an output of its
    // own, started once setup has found the history file and before the
    // first poll (history_file "" when the history has no file, the disk
    // being full).  start throws when it cannot start, a setup error.
    struct Started {
        std::string address;  // announced as the run starts
        std::string warning;  // a warning of the setup, when not empty
    };
    struct Companion {
        RunOutput* output = nullptr;
        std::function<Started(const std::string& history_file)> start;
    };

    // What a run reads its time from, opens its ports on and writes its
    // lines to: the machine's own, unless a test puts the run on a clock it
    // moves by hand, lines in memory and a disk it holds up.
    struct Machine {
        RunClock* clock = &RealClock::Shared();
        RunSetup::PortMaker make_port;           // none: serial ports
        StoreThread::BeforeWrite before_write;   // none: every write at once
        std::ostream* out = nullptr;             // none: standard output
        std::ostream* err = nullptr;             // none: standard error
    };

    explicit SiteHost(Options options) : options_(std::move(options)) {}
    void Add(Companion companion) { companion_ = std::move(companion); }
    void On(Machine machine) { machine_ = std::move(machine); }

    int Run();

private:
    Options options_;
    Companion companion_;
    Machine machine_;
};
