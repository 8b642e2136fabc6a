#pragma once
// The bytes the simulated monitor puts on the line, as the simulator handles
// them: a frame of any length, since a reply may be readdressed, corrupted,
// prefixed with noise or split into chunks on its way out.  The replies
// themselves are built by the protocol (protocol/MonitorProtocol.h).
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/MonitorProtocol.h"

namespace monitor_sim {

using Frame = std::vector<uint8_t>;
using monitor::CellSlots;

// A built reply as a frame the simulator can reshape.
template <std::size_t N>
Frame ToFrame(const std::array<uint8_t, N>& reply) {
    return Frame(reply.begin(), reply.end());
}

}  // namespace monitor_sim
