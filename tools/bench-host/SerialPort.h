#pragma once
// One serial line, opened the way bench tools are expected to open one:
// exclusively (TIOCEXCL, and an advisory lock that also holds against
// root), raw mode, 8 data bits, no parity, 1 stop bit, non-blocking.
#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>

class SerialPort {
public:
    struct Error : std::runtime_error {
        enum class Kind { kMissing, kBusy, kSettings, kIo };
        Error(Kind k, const std::string& what) : std::runtime_error(what), kind(k) {}
        Kind kind;
    };

    explicit SerialPort(std::string path) : path_(std::move(path)) {}
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Throws Error: kMissing (no such port), kBusy (another program has it),
    // kSettings (not a terminal, or a speed the line cannot take), kIo.
    void Open(int32_t speed);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }

    // Drops whatever has been received and not read: a late reply to an
    // earlier request must not be taken for the answer to the next one.
    void FlushInput();
    // Writes all bytes; throws Error(kIo) when the line fails (an adapter
    // pulled out).
    void Write(const uint8_t* data, std::size_t len);
    // Reads what is there without waiting: the count, 0 when nothing is
    // waiting; throws Error(kIo) when the line has gone.
    std::size_t Read(uint8_t* buf, std::size_t len);

private:
    std::string path_;
    int fd_ = -1;
};
