#pragma once
// `bench-host run`: the site host on a bench.  Puts the parts of a run
// together: the outputs the user asked for, subscribed to the run's events;
// the setup, which makes the site from its file; the host's side of the
// devices' calls; the bus loop; and the summary with the exit status.
#include "RunOptions.h"

class SiteHost {
public:
    using Options = RunOptions;

    // Exit statuses.
    static constexpr int kOk = 0;
    static constexpr int kSetupFailed = 1;
    static constexpr int kNeverCompleted = 3;
    static constexpr int kNotStored = 4;  // wins over kNeverCompleted

    explicit SiteHost(Options options) : options_(std::move(options)) {}

    int Run();

private:
    Options options_;
};
