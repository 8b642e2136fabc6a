#pragma once
// `bench-host run`: the site host on a bench.  Puts the parts of a run
// together: the outputs the user asked for, subscribed to the run's events;
// the setup, which makes the site from its file; the host's side of the
// devices' calls; the bus loop; and the summary with the exit status.
#include <functional>
#include <string>

#include "run/RunOptions.h"

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

    explicit SiteHost(Options options) : options_(std::move(options)) {}
    void Add(Companion companion) { companion_ = std::move(companion); }

    int Run();

private:
    Options options_;
    Companion companion_;
};
