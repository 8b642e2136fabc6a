#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stdin_path) {
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        const int in = ::open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY);
        if (in >= 0) ::dup2(in, 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
}

bool ChildProcess::ReadSome(std::chrono::milliseconds wait) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(wait.count()));
    if (n < 0 && errno != EINTR) return false;
    bool open = false;
    char buf[4096];
    int* fdp[2] = {&out_fd_, &err_fd_};
    std::string* sink[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (*fdp[i] < 0) continue;
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::read(*fdp[i], buf, sizeof buf);
            if (got > 0) {
                sink[i]->append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(*fdp[i]);
                *fdp[i] = -1;
                continue;
            }
        }
        open = true;
    }
    return open;
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (out_.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (!ReadSome(std::min(left, std::chrono::milliseconds(100))) && out_.find(text) == std::string::npos)
            return false;
    }
    return true;
}

void ChildProcess::Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

ChildProcess::Result ChildProcess::Finish(std::chrono::milliseconds deadline) {
    Result r;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timed_out = true;
            ::kill(pid_, SIGKILL);
            break;
        }
        ReadSome(std::min(left, std::chrono::milliseconds(100)));
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = out_;
    r.err = err_;
    return r;
}

ChildProcess::Result ChildProcess::Run(const std::vector<std::string>& argv, std::chrono::milliseconds deadline,
                                       const std::string& stdin_path) {
    ChildProcess child(argv, stdin_path);
    return child.Finish(deadline);
}
