#pragma once
// One serial line, opened the way bench tools are expected to open one:
// exclusively (TIOCEXCL, and an advisory lock that also holds against
// root), raw mode, 8 data bits, no parity, 1 stop bit, non-blocking.
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "bus/BusPort.h"

class SerialPort : public BusPort {
public:
    // Error (BusPort's) says what failed, naming the port: missing, busy
    // (another program has it), not a terminal or a speed the line cannot
    // take, an I/O error.

    explicit SerialPort(std::string path) : path_(std::move(path)) {}
    ~SerialPort() override { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Throws Error.
    void Open(int32_t speed) override;
    void Close() override;
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const override { return fd_; }
    const std::string& Path() const override { return path_; }

    // Writes all bytes; throws Error when the line fails (an adapter
    // pulled out).
    void Write(const uint8_t* data, std::size_t len) override;
    // Reads what is there without waiting: the count, 0 when nothing is
    // waiting; throws Error when the line has gone.
    std::size_t Read(uint8_t* buf, std::size_t len) override;
    // A pseudo-terminal's slave has no wire; told by its device number.
    bool WireTime() const override { return wire_time_; }

private:
    std::string path_;
    int fd_ = -1;
    bool wire_time_ = true;
};
