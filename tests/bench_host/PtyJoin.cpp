#include "PtyJoin.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace {

void Raw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) throw std::runtime_error("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(fd, TCSANOW, &tio);
}

// Writes all of it, waiting while the other end is slow to read.
void WriteAll(int fd, const uint8_t* data, ssize_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, static_cast<std::size_t>(len));
        if (n > 0) {
            data += n;
            len -= n;
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return;  // the host has closed its end: what it would read is lost
        } else {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
}

// The child's loop: host bytes to every monitor, each monitor's to the host.
[[noreturn]] void Copy(int host, const std::vector<int>& monitors) {
    std::vector<pollfd> fds{{host, POLLIN, 0}};
    for (const int m : monitors) fds.push_back({m, POLLIN, 0});
    uint8_t buf[256];
    for (;;) {
        if (::poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) ::_exit(1);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) continue;
            if (i == 0) {
                for (const int m : monitors) WriteAll(m, buf, n);
            } else {
                WriteAll(host, buf, n);
            }
        }
        // While the host's end is closed its master reads as hung up: wait
        // for it rather than spin.
        if (fds[0].revents & POLLHUP) ::usleep(2000);
    }
}

}  // namespace

PtyJoin::PtyJoin(const std::vector<std::string>& monitors, const std::string& host_link) : link_(host_link) {
    const int host = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (host < 0 || ::grantpt(host) != 0 || ::unlockpt(host) != 0) throw std::runtime_error("posix_openpt");
    const char* name = ::ptsname(host);
    if (!name) throw std::runtime_error("ptsname");
    const std::string slave = name;
    // Settings made through the master are the host's end's: no echo there.
    Raw(host);
    std::vector<int> lines;
    for (const auto& path : monitors) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) throw std::runtime_error("cannot open " + path);
        Raw(fd);
        lines.push_back(fd);
    }
    ::unlink(link_.c_str());
    if (::symlink(slave.c_str(), link_.c_str()) != 0) throw std::runtime_error("symlink " + link_);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(0);
        Copy(host, lines);
    }
    ::close(host);
    for (const int fd : lines) ::close(fd);
}

PtyJoin::~PtyJoin() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::unlink(link_.c_str());
}
