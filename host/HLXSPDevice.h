#pragma once
#include <cstdint>

#include "HLXVDevice.h"
#include "HostApi.h"

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2, PARITY_MARK = 3, PARITY_SPACE = 4 };

// A device reached over a serial port.  The host owns the port; the device
// builds frames, hands them to SendData and gets received bytes in process().
class HLX_API HLXSPDevice : public HLXVDevice {
public:
    // Capacity of the reply reassembly buffer.
    static constexpr int kMsgBufSize = 256;

    HLXSPDevice();
    ~HLXSPDevice() override;

    void Reset() override;
    int RefreshStatus() override;

    // slot 27
    virtual int SendData(const unsigned char* data, unsigned int len);
    // slot 28
    virtual int SendParityData(const unsigned char* data, unsigned int len, EnumParity parity);
    // slot 29
    virtual bool OpenPort();
    // slot 30
    virtual void ClosePort();

    // Bus address of the device, as configured by the host.
    uint8_t addr_ = 0;
    // Reassembly buffer for replies and the count of bytes in it.
    unsigned char msg_buf[kMsgBufSize] = {};
    int32_t msg_len = 0;
    // Line speed in bit/s; the host opens the port with it.
    int32_t baudrate_ = 9600;
};
