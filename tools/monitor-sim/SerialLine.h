#pragma once
// The simulator's end of the line: a pseudo-terminal whose other end the
// master opens like a serial port, or a real serial port.  Either way the
// line is raw (no echo, no line editing, no translation), 8 data bits, no
// parity, 1 stop bit, and the descriptor is non-blocking.
#include <string>

namespace monitor_sim {

class SerialLine {
public:
    // A new pseudo-terminal; Path() is the name the master opens.  Its line
    // settings are set raw from this side, so a master that does not set
    // them still gets the bytes unchanged.  Throws std::runtime_error.
    static SerialLine OpenPty(int baud);
    // A serial port, opened exclusively.  Throws std::runtime_error.
    static SerialLine OpenPort(const std::string& path, int baud);

    // Whether baud is a speed the line can be set to.
    static bool SupportedBaud(int baud);

    // Lets the members of group (a name or a number) open the pseudo-
    // terminal for reading and writing (mode 660), as they open a serial
    // port: a service that runs as a user of its own in the serial ports'
    // group cannot open a terminal that only its maker may.  Throws
    // std::runtime_error naming the group when it is none or when this
    // process may not give the terminal to it (only root, or a member).
    void ShareWithGroup(const std::string& group) const;

    SerialLine(SerialLine&& other) noexcept;
    SerialLine& operator=(SerialLine&& other) noexcept;
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;
    ~SerialLine();

    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }
    bool IsPty() const { return pty_; }

private:
    SerialLine(int fd, std::string path, bool pty) : fd_(fd), path_(std::move(path)), pty_(pty) {}

    int fd_ = -1;
    std::string path_;
    bool pty_ = false;
};

}  // namespace monitor_sim
