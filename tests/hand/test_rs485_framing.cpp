// RS485 wire framing: frames built for the line, and the receive parser that
// cuts the incoming stream into replies and routes them by node id.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <random>
#include <thread>

#include "rs485_test_support.h"

using namespace rs485_test;
using morvx::RS485NodeEndpoint;
using morvx::RS485SharedBusContext;

// ---- frames to the hand ------------------------------------------------------------

TEST(Rs485Frame, StatusPollOfNodeOne) {
    EXPECT_EQ(morvx::build_frame(0x500, 1, {0xD0, 0x06}), (Bytes{0x50, 0x01, 0xD0, 0x06, 0x9D, 0x26}));
}

TEST(Rs485Frame, FunctionByteFollowsTheCodeRange) {
    EXPECT_EQ(morvx::build_frame(0x500, 3, {0x01, 0x02, 0x03}),
              (Bytes{0x50, 0x03, 0x01, 0x02, 0x03, 0xF4, 0xE9}));
    EXPECT_EQ(morvx::build_frame(0x9000, 2, {0xAA}), (Bytes{0x90, 0x02, 0xAA, 0xF0, 0xF2}));
    EXPECT_EQ(morvx::build_frame(0x600, 5, {0x11, 0x22}), (Bytes{0x60, 0x05, 0x11, 0x22, 0x82, 0x6C}));
}

TEST(Rs485Frame, EmptyPayloadIsHeaderAndCrc) {
    const Bytes f = morvx::build_frame(0x500, 7, {});
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0], 0x50);
    EXPECT_EQ(f[1], 0x07);
}

// ---- frames from the hand ------------------------------------------------------------

namespace {

// Golden replies (CRC-16/MODBUS, low byte first), written out by hand.
const Bytes kStatusNode1{0x48, 0x01, 0x50, 0x02, 0x10, 0x20, 0x8E, 0x8B};   // 'H', D = 2
const Bytes kStatusNode2{0x48, 0x02, 0x51, 0x00, 0x8B, 0xD4};               // 'H', D = 0
const Bytes kParamNode1{0x58, 0x01, 0x61, 0x07, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xF4, 0xDE};  // 'X'
const Bytes kOtaNode1{0x70, 0x01, 0x90, 0x01, 0x33, 0x25, 0x9F};            // 'p', D = 1

Bytes with_crc(Bytes b) {
    const uint16_t crc = morvx::crc16_modbus(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(crc & 0xFF));
    b.push_back(static_cast<uint8_t>(crc >> 8));
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Feeds a cutter the stream in chunks of the given size, then the line's
// silence when asked, and returns every frame it delivered, in order.
std::vector<Bytes> cut_stream(morvx::RS485FrameCutter& cutter, const Bytes& stream, std::size_t chunk,
                              bool silence_after) {
    std::vector<Bytes> out;
    auto frames = std::make_unique<morvx::RS485CutFrames>();
    const auto collect = [&] {
        for (std::size_t i = 0; i < frames->count; ++i) {
            const uint8_t* f = frames->bytes + frames->start[i];
            out.emplace_back(f, f + frames->length[i]);
        }
    };
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min(chunk, stream.size() - at);
        at += cutter.cut(stream.data() + at, n, *frames);
        collect();
    }
    if (silence_after) {
        cutter.line_silent(*frames);
        collect();
    }
    return out;
}

std::vector<Bytes> cut_stream(const Bytes& stream, std::size_t chunk, bool silence_after) {
    auto cutter = std::make_unique<morvx::RS485FrameCutter>();
    return cut_stream(*cutter, stream, chunk, silence_after);
}

class Rs485Receive : public ::testing::Test {
protected:
    void SetUp() override {
        ep1 = std::make_shared<RS485NodeEndpoint>(hand1.as_owner(), 1);
        ep2 = std::make_shared<RS485NodeEndpoint>(hand2.as_owner(), 2);
        ASSERT_TRUE(ctx.register_endpoint(ep1));
        ASSERT_TRUE(ctx.register_endpoint(ep2));
    }
    int feed(const Bytes& b) { return ctx.receive_bytes(b.data(), b.size()); }

    FakeHand hand1, hand2;
    RS485SharedBusContext ctx{fake_hooks()};
    std::shared_ptr<RS485NodeEndpoint> ep1, ep2;
};

}  // namespace

TEST(Rs485Crc, ModbusCheckValue) {
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(morvx::crc16_modbus(text, sizeof text), 0x4B37);
}

TEST_F(Rs485Receive, EachReplyReachesTheHandWithItsNodeId) {
    EXPECT_EQ(feed(cat({kStatusNode1, kStatusNode2, kParamNode1, kOtaNode1})), 0);
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kStatusNode1, kParamNode1, kOtaNode1}));
    EXPECT_EQ(hand2.received(), (std::vector<Bytes>{kStatusNode2}));
}

TEST_F(Rs485Receive, ArgumentsAndEmptyInput) {
    EXPECT_EQ(ctx.receive_bytes(nullptr, 4), 1);
    EXPECT_EQ(ctx.receive_bytes(kStatusNode1.data(), 0), 0);
    EXPECT_EQ(hand1.frame_count(), 0u);
}

TEST_F(Rs485Receive, SplitOneByteAtATimeIsDeliveredOnceAtTheLastByte) {
    const Bytes stream = cat({kStatusNode1, kParamNode1});
    for (std::size_t i = 0; i < stream.size(); ++i) {
        EXPECT_EQ(ctx.receive_bytes(&stream[i], 1), 0);
        const std::size_t expected = i + 1 >= stream.size() ? 2 : (i + 1 >= kStatusNode1.size() ? 1 : 0);
        ASSERT_EQ(hand1.frame_count(), expected) << "after byte " << i;
    }
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kStatusNode1, kParamNode1}));
}

TEST(Rs485Cutter, EveryChunkingYieldsTheSameFramesAndAStrayStartHoldsThemUntilSilence) {
    // The stray start in front still waits for bytes when the stream ends:
    // it holds the replies behind it until the line falls silent.
    const Bytes stream = cat({Bytes{0x00, 0x13, 0x48, 0x01, 0x00, 0x40}, kStatusNode1, kOtaNode1, Bytes{0xFF},
                              kParamNode1, kStatusNode2});
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        auto cutter = std::make_unique<morvx::RS485FrameCutter>();
        EXPECT_TRUE(cut_stream(*cutter, stream, chunk, false).empty()) << "chunk " << chunk;
        EXPECT_TRUE(cutter->holds_bytes());
        EXPECT_EQ(cut_stream(*cutter, {}, chunk, true),
                  (std::vector<Bytes>{kStatusNode1, kOtaNode1, kParamNode1, kStatusNode2}))
            << "chunk " << chunk;
        EXPECT_FALSE(cutter->holds_bytes());
    }
}

TEST_F(Rs485Receive, LongChunkOfFramesOfEveryLengthArrivesWhole) {
    // Kilobytes in one call, cut in pieces inside: frames straddle the cuts.
    Bytes stream;
    std::vector<Bytes> frames;
    for (int i = 0; i < 130; ++i) {
        const uint8_t d = static_cast<uint8_t>(i % 65);
        Bytes f{0x48, 0x01, static_cast<uint8_t>(i), d};
        f.insert(f.end(), d, static_cast<uint8_t>(i * 3));
        frames.push_back(with_crc(f));
        stream.insert(stream.end(), frames.back().begin(), frames.back().end());
    }
    EXPECT_EQ(feed(stream), 0);
    EXPECT_EQ(hand1.received(), frames);
}

TEST_F(Rs485Receive, GarbageBetweenFramesIsSkipped) {
    feed(cat({Bytes{0x00, 0x01, 0x02, 0x03, 0x04}, kStatusNode1, Bytes{0x99, 0x98, 0x97, 0x96, 0x95}, kStatusNode2}));
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kStatusNode1}));
    EXPECT_EQ(hand2.received(), (std::vector<Bytes>{kStatusNode2}));
}

TEST_F(Rs485Receive, ChunkWithoutStartByteIsDiscarded) {
    // Garbage that would form a frame if kept: the tail of a status frame
    // arriving without its start byte must not join with what follows.
    feed(Bytes{0x01, 0x50, 0x02, 0x10, 0x20, 0x8E, 0x8B});
    feed(kStatusNode1);
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kStatusNode1}));
}

TEST_F(Rs485Receive, BadCrcDropsOnlyTheStartByteThenResynchronises) {
    Bytes bad = kStatusNode1;
    bad[4] ^= 0x01;  // corrupted body
    feed(cat({bad, kStatusNode2}));
    EXPECT_EQ(hand1.frame_count(), 0u);
    EXPECT_EQ(hand2.received(), (std::vector<Bytes>{kStatusNode2}));

    // A good frame hidden inside a corrupted one's span is still found.
    Bytes lead{0x48, 0x01, 0x50, 0x08};  // claims 8 body bytes, the good frame sits in them
    feed(cat({lead, kStatusNode1, Bytes{0, 0, 0, 0}}));
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kStatusNode1}));
}

TEST_F(Rs485Receive, LengthByteBoundsOfStatusFrames) {
    Bytes h0 = with_crc({0x48, 0x01, 0x50, 0x00});
    EXPECT_EQ(h0.size(), 6u);
    Bytes h64{0x48, 0x01, 0x50, 64};
    for (int i = 0; i < 64; ++i) h64.push_back(static_cast<uint8_t>(i));
    h64 = with_crc(h64);
    EXPECT_EQ(h64.size(), 70u);
    feed(cat({h0, h64}));
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{h0, h64}));

    // 65 is no length: the start byte is dropped and the next frame is found.
    Bytes h65{0x48, 0x01, 0x50, 65};
    feed(cat({h65, kStatusNode2}));
    EXPECT_EQ(hand2.received(), (std::vector<Bytes>{kStatusNode2}));
    EXPECT_EQ(hand1.frame_count(), 2u);
}

TEST(Rs485Cutter, ReplyBehindAStrayStartComesOutAtSilenceOrWhenTheStraysSpanFails) {
    // 'H' announcing 64 more bytes, then a whole 'X' reply and nothing more:
    // the silence ends the stray's frame and delivers the reply.
    const Bytes stray{0x48, 0x01, 0x00, 0x40};
    EXPECT_TRUE(cut_stream(cat({stray, kParamNode1}), 3, false).empty());
    EXPECT_EQ(cut_stream(cat({stray, kParamNode1}), 3, true), (std::vector<Bytes>{kParamNode1}));

    // Without a silence, the reply comes out once the bytes that complete the
    // stray's 70-byte span show its CRC wrong; nothing else comes out.
    auto cutter = std::make_unique<morvx::RS485FrameCutter>();
    EXPECT_TRUE(cut_stream(*cutter, cat({stray, kParamNode1, Bytes(53, 0x00)}), 7, false).empty());
    EXPECT_EQ(cut_stream(*cutter, Bytes{0x00, 0x00}, 1, false), (std::vector<Bytes>{kParamNode1}));
    EXPECT_EQ(cut_stream(*cutter, kStatusNode2, 1, true), (std::vector<Bytes>{kStatusNode2}));

    // Several strays in front of several replies, one burst.
    EXPECT_EQ(cut_stream(cat({Bytes{0x70, 0x02, 0x00, 0x3F, 0x48, 0x02, 0x00, 0x20}, kStatusNode1, Bytes{0x58, 0x02},
                              kOtaNode1}),
                         64, true),
              (std::vector<Bytes>{kStatusNode1, kOtaNode1}));
}

TEST(Rs485Cutter, StraysOfEveryKindAndLengthCostNoReply) {
    // A start byte with any node id and any length byte in front of each kind
    // of reply: at the silence after it, the reply and nothing else.
    for (const Bytes& reply : {kStatusNode1, kParamNode1, kOtaNode1}) {
        for (uint8_t start : {uint8_t{'H'}, uint8_t{'X'}, uint8_t{'p'}}) {
            for (uint8_t node : {uint8_t{0x01}, uint8_t{'H'}, uint8_t{'p'}}) {
                for (int length = 0; length <= 64; ++length) {
                    const Bytes stream = cat({Bytes{start, node, 0x00, static_cast<uint8_t>(length)}, reply});
                    for (std::size_t chunk : {std::size_t{1}, stream.size()}) {
                        ASSERT_EQ(cut_stream(stream, chunk, true), (std::vector<Bytes>{reply}))
                            << "start " << int(start) << " node " << int(node) << " length " << length;
                    }
                }
            }
        }
    }
}

TEST(Rs485Cutter, AFrameNeverSpansASilence) {
    // The first half of a reply, the line falls silent, then the rest and a
    // reply of node 2: the halves never join.
    auto cutter = std::make_unique<morvx::RS485FrameCutter>();
    const Bytes head(kStatusNode1.begin(), kStatusNode1.begin() + 5);
    const Bytes rest(kStatusNode1.begin() + 5, kStatusNode1.end());
    EXPECT_TRUE(cut_stream(*cutter, head, 5, true).empty());
    EXPECT_EQ(cut_stream(*cutter, cat({rest, kStatusNode2}), 2, false), (std::vector<Bytes>{kStatusNode2}));

    // Silence with fewer bytes held than a length byte needs: they go too.
    EXPECT_TRUE(cut_stream(*cutter, Bytes{0x48, 0x01}, 1, true).empty());
    EXPECT_FALSE(cutter->holds_bytes());
    EXPECT_EQ(cut_stream(*cutter, Bytes{0x50, 0x02, 0x10, 0x20, 0x8E, 0x8B}, 6, false), std::vector<Bytes>{});
}

TEST_F(Rs485Receive, ReplyWithStartLookalikesInsideArrivesWhole) {
    // A 70-byte reply whose body holds start bytes: an 'X' span that lies
    // inside it with a CRC that fails, and an 'H' and a 'p' whose spans run
    // past its end. Byte by byte, it comes out once, at its last byte.
    Bytes body{0x48, 0x01, 0x50, 0x40};
    const Bytes inner{0x58, 0x01, 0x4B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34};
    body.insert(body.end(), inner.begin(), inner.end());
    while (body.size() < 60) body.push_back(static_cast<uint8_t>(body.size()));
    const Bytes tail{0x48, 0x01, 0x00, 0x10, 0x70, 0x01, 0x00, 0x20};
    body.insert(body.end(), tail.begin(), tail.end());
    const Bytes reply = with_crc(body);
    ASSERT_EQ(reply.size(), 70u);
    for (std::size_t i = 0; i < reply.size(); ++i) {
        feed(Bytes{reply[i]});
        ASSERT_EQ(hand1.frame_count(), i + 1 == reply.size() ? 1u : 0u) << "after byte " << i;
    }
    feed(kStatusNode1);
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{reply, kStatusNode1}));
}

TEST_F(Rs485Receive, ReplyWhoseBodyHoldsAnIntactFrameOfAnotherNodeArrivesWhole) {
    // A 26-byte 'H' reply of node 1 whose body holds an intact 12-byte 'X'
    // frame of node 2: node 1 gets its reply, node 2 nothing, byte by byte or
    // whole, and also behind a stray start once the line falls silent.
    Bytes body{0x48, 0x01, 0xD0, 20, 0x11, 0x22};
    body.insert(body.end(), kParamNode1.begin(), kParamNode1.end());
    body[7] = 0x02;
    body.erase(body.begin() + 6 + 10, body.end());
    const Bytes inner = with_crc(Bytes(body.begin() + 6, body.begin() + 16));
    body.insert(body.end(), inner.end() - 2, inner.end());
    while (body.size() < 24) body.push_back(0x33);
    const Bytes reply = with_crc(body);
    ASSERT_EQ(reply.size(), 26u);
    ASSERT_TRUE(morvx::rs485_frame_intact(morvx::ByteView(reply.data() + 6, 12)));

    for (std::size_t i = 0; i < reply.size(); ++i) feed(Bytes{reply[i]});
    feed(reply);
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{reply, reply}));
    EXPECT_EQ(hand2.frame_count(), 0u);
    EXPECT_EQ(cut_stream(cat({Bytes{0x48, 0x05, 0x00, 0x40}, reply}), 1, true), (std::vector<Bytes>{reply}));
}

TEST(Rs485Cutter, MillionRepliesFullOfStartBytesInRandomChunksLoseNothingAndInventNothing) {
    // Replies back to back, as a clean line brings them, whose bodies are half
    // start bytes; one in eight carries an intact frame of another node inside
    // its body. Cut in random chunks, every reply comes out once, in order,
    // and nothing else does.
    std::mt19937 rng(20261210);
    const uint8_t starts[] = {'H', 'X', 'p'};
    const auto body_byte = [&] {
        return rng() % 2 ? starts[rng() % 3] : static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 65 : rng());
    };
    const auto make_frame = [&](uint8_t start, uint8_t node, std::size_t body_after_length) {
        Bytes f{start, node, body_byte(), start == 'X' ? body_byte() : static_cast<uint8_t>(body_after_length)};
        const std::size_t total = start == 'X' ? 12 : body_after_length + 6;
        while (f.size() < total - 2) f.push_back(body_byte());
        return with_crc(f);
    };
    auto cutter = std::make_unique<morvx::RS485FrameCutter>();
    auto frames = std::make_unique<morvx::RS485CutFrames>();
    std::deque<Bytes> expected;
    Bytes burst;
    std::size_t replies = 0, embedded = 0, delivered = 0;
    while (replies < 1000000) {
        burst.clear();
        for (int k = 0; k < 64; ++k, ++replies) {
            const uint8_t start = starts[rng() % 3];
            Bytes reply = make_frame(start, 1, rng() % 65);
            // An intact frame of node 2 somewhere in the body, the reply's own
            // CRC made good again.
            const std::size_t from = start == 'X' ? 2 : 4;
            const std::size_t room = reply.size() - 2 - from;
            if (room >= 6 && rng() % 8 == 0) {
                const uint8_t inner_start = room >= 12 ? starts[rng() % 3] : (rng() % 2 ? 'H' : 'p');
                const std::size_t inner_size = inner_start == 'X' ? 12 : 6 + rng() % (room - 6 + 1);
                const Bytes inner = make_frame(inner_start, 2, inner_size - 6);
                const std::size_t at = from + rng() % (room - inner.size() + 1);
                std::copy(inner.begin(), inner.end(), reply.begin() + static_cast<long>(at));
                reply = with_crc(Bytes(reply.begin(), reply.end() - 2));
                ++embedded;
            }
            burst.insert(burst.end(), reply.begin(), reply.end());
            expected.push_back(std::move(reply));
        }
        for (std::size_t at = 0; at < burst.size();) {
            const std::size_t n = std::min<std::size_t>(1 + rng() % 300, burst.size() - at);
            const std::size_t taken = cutter->cut(burst.data() + at, n, *frames);
            at += taken;
            for (std::size_t i = 0; i < frames->count; ++i, ++delivered) {
                ASSERT_FALSE(expected.empty()) << "invented a frame after " << delivered;
                const uint8_t* f = frames->bytes + frames->start[i];
                ASSERT_TRUE(Bytes(f, f + frames->length[i]) == expected.front()) << "reply " << delivered;
                expected.pop_front();
            }
        }
    }
    EXPECT_TRUE(expected.empty()) << expected.size() << " replies still held";
    EXPECT_EQ(delivered, replies);
    EXPECT_GT(embedded, replies / 20);
}

TEST_F(Rs485Receive, ParamFrameIsAlwaysTwelveBytes) {
    // Byte 3 of an 'X' frame is 0x07 here: it is no length.
    feed(cat({kParamNode1, kStatusNode1}));
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kParamNode1, kStatusNode1}));
}

TEST_F(Rs485Receive, TooFewBytesWaitForMore) {
    // Three bytes after garbage stay buffered unscanned; the rest completes them.
    feed(Bytes{0x11, 0x22, 0x48, 0x01, 0x50});
    EXPECT_EQ(hand1.frame_count(), 0u);
    feed(Bytes(kStatusNode1.begin() + 3, kStatusNode1.end()));
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kStatusNode1}));
}

TEST_F(Rs485Receive, UnknownOrGoneNodeIsDroppedWithZero) {
    const Bytes node9 = with_crc({0x48, 0x09, 0x50, 0x00});
    hand1.handler_result = 8;
    EXPECT_EQ(feed(node9), 0);
    ctx.unregister_endpoint(ep2);
    EXPECT_EQ(feed(kStatusNode2), 0);
    EXPECT_EQ(hand2.frame_count(), 0u);

    // An endpoint whose hand detached (owner cleared) gets nothing either.
    {
        std::lock_guard<std::mutex> lock(ep1->mutex);
        ep1->owner = nullptr;
    }
    EXPECT_EQ(feed(kStatusNode1), 0);
    EXPECT_EQ(hand1.frame_count(), 0u);
}

TEST_F(Rs485Receive, FirstNonZeroHandlerResultIsReturned) {
    hand2.handler_result = 3;
    hand1.handler_result = 8;
    EXPECT_EQ(feed(cat({kStatusNode2, kStatusNode1})), 3);
    EXPECT_EQ(hand1.frame_count(), 1u);  // the later frame was still delivered
    hand2.handler_result = 0;
    EXPECT_EQ(feed(cat({kStatusNode2, kStatusNode1})), 8);
}

TEST_F(Rs485Receive, ThrowingHandlerRejectsItsFrameAndLaterFramesStillArrive) {
    hand2.throw_in_handler = true;
    EXPECT_EQ(feed(cat({kStatusNode2, kStatusNode1})), 8);
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kStatusNode1}));
}

TEST_F(Rs485Receive, LongRunOfFalseStartsStaysCheapAndRecovers) {
    // A megabyte of start bytes whose CRCs never match: each is dropped in
    // turn; the good frame behind them is still found.
    Bytes junk(1 << 20, 0x48);
    for (std::size_t i = 3; i < junk.size(); i += 4) junk[i] = 0x00;
    feed(junk);
    feed(kStatusNode1);
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kStatusNode1}));
}

TEST_F(Rs485Receive, ClosedContextRefusesBytes) {
    ctx.close();
    EXPECT_EQ(feed(kStatusNode1), 5);
    EXPECT_EQ(hand1.frame_count(), 0u);
}

// ---- the line's silence, as the context tells it -------------------------------------

namespace {

const Bytes kStrayStart{0x48, 0x01, 0x00, 0x40};  // announces 64 more bytes

}  // namespace

TEST_F(Rs485Receive, ReportedEmptyReadsEndTheExchangeOnceTheLineIsSilentFor20Ms) {
    const uint8_t* nothing = kParamNode1.data();
    const auto before = Clock::now();
    feed(cat({kStrayStart, kParamNode1}));
    while (hand1.frame_count() == 0 && Clock::now() - before < milliseconds(5000)) {
        EXPECT_EQ(ctx.receive_bytes(nothing, 0), 0);
        std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_GE(Clock::now() - before, milliseconds(20));
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kParamNode1}));
}

TEST_F(Rs485Receive, AReaderHeldUpBeforeItsEmptyReadNeedsOneMore) {
    // Its first empty read after the hold-up may have missed bytes that came
    // meanwhile; the next one shows the silence.
    const uint8_t* nothing = kParamNode1.data();
    ctx.receive_bytes(nothing, 0);
    feed(cat({kStrayStart, kParamNode1}));
    std::this_thread::sleep_for(milliseconds(40));
    ctx.receive_bytes(nothing, 0);
    EXPECT_EQ(hand1.frame_count(), 0u);
    ctx.receive_bytes(nothing, 0);
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kParamNode1}));
}

TEST_F(Rs485Receive, ACallerThatReportsNothingHasTheWorkerEndTheExchangeAfter50Ms) {
    const auto before = Clock::now();
    feed(cat({kStrayStart, kParamNode1}));
    ASSERT_TRUE(eventually([&] { return hand1.frame_count() == 1; }));
    EXPECT_GE(Clock::now() - before, milliseconds(50));
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kParamNode1}));
}

TEST_F(Rs485Receive, AReportingCallerHeldUpInsideAReplyKeepsItWhole) {
    // The worker leaves the silence to a caller that reports its empty reads,
    // so a reader held up between the pieces of one reply loses nothing.
    const uint8_t* nothing = kParamNode1.data();
    ctx.receive_bytes(nothing, 0);
    feed(Bytes(kParamNode1.begin(), kParamNode1.begin() + 5));
    std::this_thread::sleep_for(milliseconds(120));
    feed(Bytes(kParamNode1.begin() + 5, kParamNode1.end()));
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kParamNode1}));
}
