#pragma once
// Runs a program of the build as a child process, its output captured, and
// never waits longer than the deadline given: a hung child is killed and the
// test fails instead of hanging the suite.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class ChildProcess {
public:
    struct Result {
        int status = -1;        // exit status, or 128 + signal
        bool timed_out = false;
        std::string out;
        std::string err;
    };

    // Starts argv[0] with the arguments; stdin_path "" means /dev/null.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& stdin_path = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // Output so far (while running, read with ReadSome).
    const std::string& Out() const { return out_; }
    // Reads whatever output is available within the wait; false once the
    // child's output is closed.
    bool ReadSome(std::chrono::milliseconds wait);
    // Reads until a line containing text appears on stdout, or the deadline.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds deadline);
    void Signal(int sig);
    // Collects the rest of the output and the exit status; kills the child
    // (SIGKILL) if it has not ended by the deadline.
    Result Finish(std::chrono::milliseconds deadline);

    // Start, wait, collect.
    static Result Run(const std::vector<std::string>& argv, std::chrono::milliseconds deadline,
                      const std::string& stdin_path = "");

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
};
