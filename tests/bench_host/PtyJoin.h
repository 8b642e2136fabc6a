#pragma once
// Two monitors on one line, as two sets of wires twisted together: a
// pseudo-terminal for bench-host whose bytes go to both monitors' lines,
// and whatever either monitor sends comes back to the host, a read at a
// time, as it comes, so two answers sent at once interleave as they would
// collide on the wire.  The copying runs in a process of its own, ended
// with the object.
#include <sys/types.h>

#include <string>
#include <vector>

class PtyJoin {
public:
    // Joins the monitors' lines (the paths of their pseudo-terminals) and
    // makes host_link the path of the host's end.
    PtyJoin(const std::vector<std::string>& monitors, const std::string& host_link);
    ~PtyJoin();
    PtyJoin(const PtyJoin&) = delete;
    PtyJoin& operator=(const PtyJoin&) = delete;

private:
    pid_t pid_ = -1;
    std::string link_;
};
