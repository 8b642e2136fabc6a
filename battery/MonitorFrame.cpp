#include "MonitorFrame.h"

namespace monitor {

uint8_t Checksum(const uint8_t* data, int len) {
    uint8_t sum = 0;
    for (int i = 0; i < len; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return static_cast<uint8_t>(sum % 254);
}

Request BuildRequest(uint8_t addr, uint8_t command) {
    Request frame{kLeadByte, kLeadByte, addr, command, 0};
    // The two lead bytes are outside the checksum.
    frame[4] = Checksum(frame.data() + 2, 2);
    return frame;
}

bool AcceptReply(const uint8_t* buf, int buffered, int frame_len, uint8_t addr) {
    if (buffered < frame_len || frame_len < 3) return false;
    if (buf[0] != kStartByte) return false;
    if (buf[1] != addr) return false;
    return Checksum(buf + 1, frame_len - 2) == buf[frame_len - 1];
}

}  // namespace monitor
