#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "RequestParser.h"

using monitor_sim::RequestParser;
using Request = RequestParser::Request;

namespace {

std::vector<uint8_t> Hex(const std::string& text) {
    std::istringstream in(text);
    std::vector<uint8_t> out;
    std::string byte;
    while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

std::vector<Request> FeedAll(RequestParser& p, const std::vector<uint8_t>& bytes) {
    return p.Feed(bytes.data(), bytes.size());
}

}  // namespace

namespace monitor_sim {
void PrintTo(const RequestParser::Request& r, std::ostream* os) {
    *os << std::hex << "{" << int(r.addr) << "," << int(r.command) << "}";
}
}  // namespace monitor_sim

struct StreamCase {
    const char* name;
    const char* bytes;
    std::vector<Request> expected;
    uint64_t skipped;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.bytes; }

class RequestStreams : public ::testing::TestWithParam<StreamCase> {};

// Each stream is fed whole, split in two at every point, and byte by byte:
// the line's chunking must change nothing.
TEST_P(RequestStreams, FindsTheValidFramesAndSkipsTheRest) {
    const auto& c = GetParam();
    const auto bytes = Hex(c.bytes);
    {
        RequestParser p;
        EXPECT_EQ(FeedAll(p, bytes), c.expected) << "whole";
        EXPECT_EQ(p.SkippedTotal(), c.skipped) << "whole";
    }
    for (size_t cut = 1; cut < bytes.size(); ++cut) {
        RequestParser p;
        auto got = p.Feed(bytes.data(), cut);
        for (const auto& r : p.Feed(bytes.data() + cut, bytes.size() - cut)) got.push_back(r);
        EXPECT_EQ(got, c.expected) << "cut at " << cut;
        EXPECT_EQ(p.SkippedTotal(), c.skipped) << "cut at " << cut;
    }
    RequestParser p;
    std::vector<Request> got;
    for (const uint8_t b : bytes)
        for (const auto& r : p.Feed(&b, 1)) got.push_back(r);
    EXPECT_EQ(got, c.expected) << "byte by byte";
    EXPECT_EQ(p.SkippedTotal(), c.skipped) << "byte by byte";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RequestStreams,
    ::testing::Values(
        StreamCase{"Whole", "FE FE 81 A1 22", {{0x81, 0xA1}}, 0},
        StreamCase{"TwoBackToBack", "FE FE 81 A1 22 FE FE 01 A4 A5", {{0x81, 0xA1}, {0x01, 0xA4}}, 0},
        StreamCase{"LeadingGarbage", "00 13 ED FE 00 FE FE 81 A2 23", {{0x81, 0xA2}}, 5},
        StreamCase{"BadChecksumThenGood", "FE FE 81 A1 23 FE FE 81 A2 23", {{0x81, 0xA2}}, 5},
        // A third lead byte: the frame starts one byte later.
        StreamCase{"ThreeLeadBytes", "FE FE FE 81 A1 22", {{0x81, 0xA1}}, 1},
        // A broken frame whose own bytes hide the start of the real one.
        StreamCase{"TruncatedFrameThenFrame", "FE FE 81 FE FE 81 A1 22", {{0x81, 0xA1}}, 3},
        // Wrapped sums of FE and FF give checksums 0 and 1.
        StreamCase{"ChecksumWrapsModulo254", "FE FE 5D A1 00 FE FE 5E A1 01", {{0x5D, 0xA1}, {0x5E, 0xA1}}, 0},
        // The last FE is held back: it may begin the next frame.
        StreamCase{"FrameWithLastByteFEIsNeverValid", "FE FE 5D A1 FE", {}, 4},
        // The parser does not judge commands: the monitor does.
        StreamCase{"UnknownCommandStillAFrame", "FE FE 81 B0 31", {{0x81, 0xB0}}, 0},
        StreamCase{"ThreeFramesAndNoise",
                   "FE FE 81 A1 22 00 FE FE 81 A2 23 FE FE 82 A3 25",
                   {{0x81, 0xA1}, {0x81, 0xA2}, {0x82, 0xA3}},
                   1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestParser, SkippedBytesAreHandedOutOnce) {
    RequestParser p;
    FeedAll(p, Hex("01 02 FE"));
    EXPECT_EQ(p.TakeSkipped(), Hex("01 02"));  // the lead byte may still start a frame
    FeedAll(p, Hex("03"));
    EXPECT_EQ(p.TakeSkipped(), Hex("FE 03"));
    EXPECT_TRUE(p.TakeSkipped().empty());
}

TEST(RequestParser, FramesHiddenInNoiseSurviveAnyChunking) {
    std::mt19937 rng(7);
    // Bus addresses of configured devices (0x80 up).  A stray lead byte can
    // swallow the start of a request to 0xA3..0xA6 (FE FE FE A3 A1 is itself
    // a valid frame), which no receiver could tell apart.
    std::uniform_int_distribution<int> byte(0, 255), addr(0x80, 0x9F), noise_len(0, 6), chunk(1, 9);
    std::vector<uint8_t> stream;
    std::vector<Request> sent;
    for (int i = 0; i < 300; ++i) {
        for (int n = noise_len(rng); n > 0; --n) stream.push_back(static_cast<uint8_t>(byte(rng)));
        const Request r{static_cast<uint8_t>(addr(rng)), static_cast<uint8_t>(0xA1 + i % 4)};
        // Built here, not by the protocol: FE FE addr command (addr + command) % 256 % 254.
        const std::vector<uint8_t> f{0xFE, 0xFE, r.addr, r.command,
                                     static_cast<uint8_t>((r.addr + r.command) % 256 % 254)};
        stream.insert(stream.end(), f.begin(), f.end());
        sent.push_back(r);
    }
    RequestParser p;
    std::vector<Request> got;
    for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min<size_t>(chunk(rng), stream.size() - at);
        for (const auto& r : p.Feed(stream.data() + at, n)) got.push_back(r);
        at += n;
        ASSERT_LE(p.Pending(), 4u);
    }
    // Noise can form a valid frame by chance (FE FE x y sum); every frame
    // that was sent must still be found, in order.
    size_t next = 0;
    for (const auto& r : got)
        if (next < sent.size() && r == sent[next]) ++next;
    EXPECT_EQ(next, sent.size());
    EXPECT_LE(got.size(), sent.size() + 3);
}
