// The monitor's bus format, checked against literal wire bytes and against
// frames the test support builds on its own (support/Probes.h), never
// against the protocol's own output.
#include <gtest/gtest.h>

#include "protocol/MonitorProtocol.h"
#include "support/Probes.h"

using frames::Hex;

namespace {

using Bytes = std::vector<uint8_t>;

template <std::size_t N>
Bytes AsBytes(const std::array<uint8_t, N>& frame) {
    return Bytes(frame.begin(), frame.end());
}

TEST(Checksum, WrapsToEightBitsThenTakesModulo254) {
    struct {
        Bytes bytes;
        uint8_t sum;
    } cases[] = {
        {{}, 0},
        {{0xFD}, 0xFD},
        {{0xFE}, 0},
        {{0xFF}, 1},
        {{0x80, 0xFF, 0x80}, 1},  // wraps to FF
        {{0x01, 0x02, 0x18}, 0x1B},
        {{0xFF, 0xFF}, 0},        // wraps to FE
        {{0x80, 0x80}, 0},        // wraps to 00
        {{0x7F, 0x80}, 1},        // FF, not wrapped
    };
    StubBattery dev;
    for (auto& c : cases) {
        const int len = static_cast<int>(c.bytes.size());
        EXPECT_EQ(monitor::Checksum(c.bytes.data(), len), c.sum) << ::testing::PrintToString(c.bytes);
        // The device's own member, which the models and requests rely on.
        EXPECT_EQ(dev.GetMMCheckSum(c.bytes.data(), len), c.sum) << ::testing::PrintToString(c.bytes);
    }
    uint8_t one = 0x33;
    EXPECT_EQ(monitor::Checksum(&one, -3), 0);
}

TEST(Checksum, AgreesWithTheReferenceOverEveryPairOfBytes) {
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            const Bytes bytes{static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
            ASSERT_EQ(monitor::Checksum(bytes.data(), 2), frames::ReferenceSum(bytes, 0, 1)) << a << " " << b;
        }
    }
}

// One table serves building and parsing: each request is the literal wire
// form of (addr, command).
struct RequestCase {
    uint8_t addr;
    uint8_t command;
    const char* wire;
};

const RequestCase kRequests[] = {
    {0x01, 0xA1, "FE FE 01 A1 A2"},
    {0x01, 0xA4, "FE FE 01 A4 A5"},
    {0x10, 0xA2, "FE FE 10 A2 B2"},
    {0x5D, 0xA1, "FE FE 5D A1 00"},  // 5D + A1 wraps to FE, which is 0 modulo 254
    {0x5E, 0xA1, "FE FE 5E A1 01"},  // 5E + A1 wraps to FF, which is 1 modulo 254
    {0x81, 0xA3, "FE FE 81 A3 24"},
};

TEST(Request, BuildsAndParsesTheWireBytes) {
    for (const auto& c : kRequests) {
        SCOPED_TRACE(c.wire);
        EXPECT_EQ(AsBytes(monitor::BuildRequest(c.addr, c.command)), Hex(c.wire));
        const Bytes wire = Hex(c.wire);
        uint8_t addr = 0, command = 0;
        ASSERT_TRUE(monitor::ParseRequest(wire.data(), static_cast<int>(wire.size()), &addr, &command));
        EXPECT_EQ(addr, c.addr);
        EXPECT_EQ(command, c.command);
    }
}

TEST(Request, ParseRefusesWhatIsNotARequest) {
    const char* refused[] = {
        "FE FE 01 A1 A3",  // checksum off by one
        "FE FE 01 A1 A0",  // checksum with both lead bytes taken in
        "FE FD 01 A1 A2",  // second lead byte
        "FD FE 01 A1 A2",  // first lead byte
        "FE FE 5D A1 FE",  // a wrapped sum of FE is never sent as FE
        "FE FE 01 A1",     // too short
        "",
    };
    for (const char* wire : refused) {
        const Bytes bytes = Hex(wire);
        uint8_t addr = 0x55, command = 0x55;
        EXPECT_FALSE(monitor::ParseRequest(bytes.data(), static_cast<int>(bytes.size()), &addr, &command)) << wire;
        EXPECT_EQ(addr, 0x55) << wire;
        EXPECT_EQ(command, 0x55) << wire;
    }
    EXPECT_FALSE(monitor::ParseRequest(nullptr, 5, nullptr, nullptr));
    // Bytes after the frame play no part; the outputs are optional.
    const Bytes longer = Hex("FE FE 01 A1 A2 77");
    EXPECT_TRUE(monitor::ParseRequest(longer.data(), 6, nullptr, nullptr));
}

TEST(ReplyLength, ByCommand) {
    const struct {
        uint8_t command;
        int length;
    } cases[] = {{0xA1, 67}, {0xA2, 5}, {0xA3, 5}, {0xA4, 5}, {0xA0, 0}, {0xA5, 0}, {0x00, 0}, {0xFF, 0}};
    for (const auto& c : cases) EXPECT_EQ(monitor::ReplyLength(c.command), c.length) << int(c.command);
}

TEST(ShortReply, BuildsTheWireBytes) {
    const struct {
        uint8_t addr;
        uint16_t value;
        const char* wire;
    } cases[] = {
        {0x01, 0x0218, "ED 01 02 18 1B"},
        {0x80, 0xFF80, "ED 80 FF 80 01"},  // 80 + FF + 80 wraps to FF
        {0x81, 0x0000, "ED 81 00 00 81"},
        {0x7F, 0x7F00, "ED 7F 7F 00 00"},  // wraps to FE
    };
    for (const auto& c : cases) EXPECT_EQ(AsBytes(monitor::BuildShortReply(c.addr, c.value)), Hex(c.wire)) << c.wire;
}

TEST(LongReply, BuildsTheWireBytes) {
    monitor::CellSlots all200;
    all200.fill(200);
    const Bytes built = AsBytes(monitor::BuildLongReply(0x01, all200));
    ASSERT_EQ(built.size(), 67u);
    EXPECT_EQ(Bytes(built.begin(), built.begin() + 4), Hex("ED 01 00 C8"));
    EXPECT_EQ(built[66], 0x01);  // the 65 summed bytes of the worked example

    // Each slot high byte first in its place, the checksum over bytes 1..65.
    monitor::CellSlots ramp;
    std::vector<uint16_t> raw;
    for (std::size_t k = 0; k < ramp.size(); ++k) {
        ramp[k] = static_cast<uint16_t>(0x0101 * k + 0x1000);
        raw.push_back(ramp[k]);
    }
    EXPECT_EQ(AsBytes(monitor::BuildLongReply(0x81, ramp)), frames::LongReply(0x81, raw));
}

TEST(SetReplyAddress, ReaddressesAndReseals) {
    Bytes f = Hex("ED 01 02 18 1B");
    monitor::SetReplyAddress(f.data(), static_cast<int>(f.size()), 0x02);
    EXPECT_EQ(f, Hex("ED 02 02 18 1C"));

    Bytes cells = frames::LongReply(0x01, std::vector<uint16_t>(32, 1350));
    monitor::SetReplyAddress(cells.data(), static_cast<int>(cells.size()), 0x81);
    EXPECT_EQ(cells, frames::LongReply(0x81, std::vector<uint16_t>(32, 1350)));

    Bytes tiny = Hex("ED 01");
    monitor::SetReplyAddress(tiny.data(), 2, 0x05);
    EXPECT_EQ(tiny, Hex("ED 01"));
}

struct ReplyCase {
    Bytes bytes;
    int frame_len;
    uint8_t addr;
    monitor::ReplyFault fault;
};

TEST(CheckReply, NamesTheFirstFault) {
    using F = monitor::ReplyFault;
    const Bytes long_ok = frames::LongReply(0x01, std::vector<uint16_t>(32, 200));
    // The last slot, which a 29-cell string does not read, is still summed.
    Bytes long_bad = long_ok;
    long_bad[65] ^= 0x01;
    const ReplyCase cases[] = {
        {Hex("ED 01 02 18 1B"), 5, 0x01, F::kNone},
        {Hex("ED 80 FF 80 01"), 5, 0x80, F::kNone},
        {Hex("ED 01 02 18 1B 99 98"), 5, 0x01, F::kNone},  // trailing bytes play no part
        {Hex("ED 01 02 18 08"), 5, 0x01, F::kChecksum},    // sum with the start byte taken in
        {Hex("ED 01 02 18 1A"), 5, 0x01, F::kChecksum},    // sum over the reading bytes only
        {Hex("ED 7F 7F 00 FE"), 5, 0x7F, F::kChecksum},    // a wrapped sum of FE is sent as 00
        {Hex("ED 02 02 18 1C"), 5, 0x01, F::kAddress},     // right checksum, another monitor
        {Hex("EC 01 02 18 1B"), 5, 0x01, F::kNoStartByte},
        {Hex("EC 02 02 18 00"), 5, 0x01, F::kNoStartByte},   // the first fault is named
        {Hex("ED 01 02 18"), 5, 0x01, F::kShort},
        {Hex(""), 5, 0x01, F::kShort},
        {Hex("ED 01"), 2, 0x01, F::kShort},                // no frame is that short
        {long_ok, 67, 0x01, F::kNone},
        {Bytes(long_ok.begin(), long_ok.end() - 1), 67, 0x01, F::kShort},
        {long_bad, 67, 0x01, F::kChecksum},
    };
    for (const auto& c : cases) {
        const int buffered = static_cast<int>(c.bytes.size());
        const monitor::ReplyFault got = monitor::CheckReply(c.bytes.data(), buffered, c.frame_len, c.addr);
        const std::string shown = ::testing::PrintToString(c.bytes);
        EXPECT_EQ(got, c.fault) << shown << ": " << monitor::ReplyFaultName(got);
        EXPECT_EQ(monitor::AcceptReply(c.bytes.data(), buffered, c.frame_len, c.addr), c.fault == F::kNone) << shown;
    }
}

TEST(BusAddress, InvertsTheTopBitOfEveryByte) {
    const struct {
        uint8_t configured;
        uint8_t bus;
    } cases[] = {{0x01, 0x81}, {0x81, 0x01}, {0x00, 0x80}, {0x7F, 0xFF}, {0xFF, 0x7F}, {0x80, 0x00}};
    for (const auto& c : cases) EXPECT_EQ(monitor::BusAddress(c.configured), c.bus) << int(c.configured);
    for (int b = 0; b < 256; ++b) {
        const uint8_t configured = static_cast<uint8_t>(b);
        // The rule as the device has always applied it to its address byte.
        EXPECT_EQ(monitor::BusAddress(configured), static_cast<uint8_t>(configured - 128)) << b;
        EXPECT_EQ(monitor::BusAddress(monitor::BusAddress(configured)), configured) << b;
    }
}

TEST(LongReply, SlotOffsetsAndBigEndianReadings) {
    EXPECT_EQ(monitor::CellSlotOffset(0), 2);
    EXPECT_EQ(monitor::CellSlotOffset(31), 64);
    const uint8_t bytes[] = {0x02, 0x18};
    EXPECT_EQ(monitor::ReadU16(bytes, 0), 536);
}

}  // namespace

namespace {

// Line noise before a reply is skipped up to the first start byte; a chunk
// without one has no reply in it.
TEST(FindStartByte, FirstStartByteOrTheEnd) {
    struct {
        const char* bytes;
        std::size_t at;  // offset of the result; the length when none
    } cases[] = {
        {"ED0102181B", 0},   {"00FFED01ED", 2}, {"FEFE01A1A2", 5}, {"", 0},
        {"EC EE DE", 3},     {"0000000000ED", 5}, {"ED", 0},       {"6D", 1},
    };
    for (const auto& c : cases) {
        const Bytes b = Hex(c.bytes);
        EXPECT_EQ(monitor::FindStartByte(b.data(), b.size()) - b.data(), static_cast<std::ptrdiff_t>(c.at)) << c.bytes;
    }
    EXPECT_EQ(monitor::FindStartByte(nullptr, 0), nullptr);
    // A start byte past the length given is not seen.
    const Bytes b = Hex("0000ED");
    EXPECT_EQ(monitor::FindStartByte(b.data(), 2), b.data() + 2);
}

}  // namespace
