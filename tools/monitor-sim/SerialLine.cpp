#include "SerialLine.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace monitor_sim {

namespace {

struct BaudEntry {
    int baud;
    speed_t speed;
};

constexpr BaudEntry kBauds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

speed_t SpeedOf(int baud) {
    for (const auto& e : kBauds)
        if (e.baud == baud) return e.speed;
    throw std::runtime_error("unsupported line speed " + std::to_string(baud));
}

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Raw 8N1 at the given speed, no flow control, modem lines ignored.
void MakeRaw(int fd, int baud, const std::string& name) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) Fail("cannot read the line settings of " + name);
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = SpeedOf(baud);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) Fail("cannot set the line settings of " + name);
}

}  // namespace

bool SerialLine::SupportedBaud(int baud) {
    for (const auto& e : kBauds)
        if (e.baud == baud) return true;
    return false;
}

SerialLine SerialLine::OpenPty(int baud) {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Fail("cannot open a pseudo-terminal");
    SerialLine line(fd, {}, true);
    if (grantpt(fd) != 0) Fail("grantpt");
    if (unlockpt(fd) != 0) Fail("unlockpt");
    char name[128];
    if (ptsname_r(fd, name, sizeof name) != 0) Fail("ptsname");
    line.path_ = name;
    // On a pseudo-terminal the settings made through this end are those of
    // the other end, which the master reads from.  Echo must be off there,
    // or every reply would come back to us as input.
    MakeRaw(fd, baud, line.path_);
    return line;
}

SerialLine SerialLine::OpenPort(const std::string& path, int baud) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Fail("cannot open " + path);
    SerialLine line(fd, path, false);
    if (ioctl(fd, TIOCEXCL) != 0) Fail("cannot open " + path + " exclusively");
    MakeRaw(fd, baud, path);
    tcflush(fd, TCIOFLUSH);
    return line;
}

void SerialLine::ShareWithGroup(const std::string& name) const {
    gid_t gid = 0;
    if (const struct group* g = getgrnam(name.c_str())) {
        gid = g->gr_gid;
    } else {
        // A number is a group too, named or not (a container may have no
        // name for the host's serial group).
        char* end = nullptr;
        errno = 0;
        const unsigned long n = name.empty() ? 0 : std::strtoul(name.c_str(), &end, 10);
        if (name.empty() || *end != '\0' || errno != 0 || n > 0xFFFFFFFEul)
            throw std::runtime_error("no group " + name + " on this machine");
        gid = static_cast<gid_t>(n);
    }
    if (chown(path_.c_str(), static_cast<uid_t>(-1), gid) != 0) Fail("cannot give " + path_ + " to group " + name);
    if (chmod(path_.c_str(), S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP) != 0) Fail("cannot let group " + name + " open " + path_);
}

SerialLine::SerialLine(SerialLine&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), pty_(other.pty_) {}

SerialLine& SerialLine::operator=(SerialLine&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        pty_ = other.pty_;
    }
    return *this;
}

SerialLine::~SerialLine() {
    if (fd_ >= 0) close(fd_);
}

}  // namespace monitor_sim
