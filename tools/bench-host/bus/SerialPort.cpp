#include "bus/SerialPort.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

speed_t SpeedConstant(int32_t speed) {
    switch (speed) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        default: return B0;
    }
}

std::string Why() { return std::strerror(errno); }

}  // namespace

void SerialPort::Open(int32_t speed) {
    Close();
    const speed_t constant = SpeedConstant(speed);
    if (constant == B0) throw Error(path_ + ": unsupported line speed " + std::to_string(speed));

    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENODEV || errno == ENXIO)
            throw Error("no serial port " + path_ + " (" + Why() + ")");
        if (errno == EBUSY)
            throw Error("serial port " + path_ + " is busy: another program has it open");
        throw Error("cannot open serial port " + path_ + ": " + Why());
    }
    // TIOCEXCL keeps other programs out once we have the line, but root
    // passes it; the advisory lock is what other bench tools check.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw Error("serial port " + path_ + " is busy: another program has it open");
    }
    if (!::isatty(fd)) {
        ::close(fd);
        throw Error(path_ + " is not a serial port");
    }
    ::ioctl(fd, TIOCEXCL);

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        const std::string why = Why();
        ::close(fd);
        throw Error("cannot read the settings of " + path_ + ": " + why);
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, constant);
    ::cfsetospeed(&tio, constant);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        const std::string why = Why();
        ::close(fd);
        throw Error("cannot set " + path_ + " to " + std::to_string(speed) + " 8N1: " + why);
    }
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    // Linux numbers the slaves of pseudo-terminals with majors 136 to 143.
    struct stat st {};
    wire_time_ = !(::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
                   major(st.st_rdev) <= 143);
}

void SerialPort::Close() {
    if (fd_ < 0) return;
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
}

void SerialPort::Write(const uint8_t* data, std::size_t len) {
    if (fd_ < 0) throw Error(path_ + " is not open");
    std::size_t done = 0;
    int waits = 0;
    while (done < len) {
        const ssize_t n = ::write(fd_, data + done, len - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN && ++waits < 100) {
            // Output queue full: a request is a few bytes, so this is brief.
            ::usleep(1000);
        } else {
            throw Error("write to " + path_ + " failed: " + (n < 0 ? Why() : "no progress"));
        }
    }
}

std::size_t SerialPort::Read(uint8_t* buf, std::size_t len) {
    if (fd_ < 0) throw Error(path_ + " is not open");
    for (;;) {
        const ssize_t n = ::read(fd_, buf, len);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        // 0 from a terminal with VMIN 0 is "nothing yet" unless poll said
        // the line hung up; the caller tells the two apart.
        if (n == 0) return 0;
        throw Error("read from " + path_ + " failed: " + Why());
    }
}
