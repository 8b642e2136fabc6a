#pragma once
// What the command line asks of `bench-host run`.
#include <string>
#include <vector>

struct RunOptions {
    std::string config_path;
    std::string plugin;              // overrides the site file's
    std::string db;                  // overrides the site file's
    std::vector<std::string> ports;  // override the ports' paths, in order
    std::string plugin_log;          // the plug-in's console lines also go here
    bool json = false;
    bool trace = false;
    long rounds = 0;                 // 0: no limit
    double duration = 0;             // seconds; 0: no limit
    int keep_rounds_days = -1;       // overrides the site file's; -1: the site file's
    // The operator's note that the run is a capacity test ("" when it is
    // not): stored with the run, and the report takes its discharge as a test.
    std::string test_note;
};
