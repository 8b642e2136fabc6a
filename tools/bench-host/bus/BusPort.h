#pragma once
// The line a bus scheduler talks over: a serial port on the bench, a
// scripted line in the scheduler's own tests.  Non-blocking: Read returns
// what is waiting, Write all or an Error.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

class BusPort {
public:
    // Says what failed, naming the port.
    struct Error : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    virtual ~BusPort() = default;

    // Throws Error.
    virtual void Open(int32_t speed) = 0;
    virtual void Close() = 0;
    // A descriptor to wait on; -1 for a line that has none (or is closed).
    virtual int Fd() const = 0;
    virtual const std::string& Path() const = 0;
    // Writes all bytes; throws Error when the line fails.
    virtual void Write(const uint8_t* data, std::size_t len) = 0;
    // Reads what is there without waiting: the count, 0 when nothing is
    // waiting; throws Error when the line has gone.
    virtual std::size_t Read(uint8_t* buf, std::size_t len) = 0;
    // false for a line whose bytes take no time on a wire (a
    // pseudo-terminal): no reply on it can come sooner than its monitor
    // answers, and answer times there are the machine's, not the monitor's.
    virtual bool WireTime() const { return true; }
};
