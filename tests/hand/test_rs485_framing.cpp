// RS485 wire framing: frames built for the line, and the receive parser that
// cuts the incoming stream into replies and routes them by node id.
#include <gtest/gtest.h>

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

TEST_F(Rs485Receive, EveryChunkingYieldsTheSameFrames) {
    // The stray start in front still waits for bytes when the stream ends.
    const Bytes stream = cat({Bytes{0x00, 0x13, 0x48, 0x01, 0x00, 0x40}, kStatusNode1, kOtaNode1, Bytes{0xFF},
                              kParamNode1, kStatusNode2});
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        FakeHand a, b;
        RS485SharedBusContext c(fake_hooks());
        auto e1 = std::make_shared<RS485NodeEndpoint>(a.as_owner(), 1);
        auto e2 = std::make_shared<RS485NodeEndpoint>(b.as_owner(), 2);
        c.register_endpoint(e1);
        c.register_endpoint(e2);
        for (std::size_t i = 0; i < stream.size(); i += chunk)
            c.receive_bytes(stream.data() + i, std::min(chunk, stream.size() - i));
        EXPECT_EQ(a.received(), (std::vector<Bytes>{kStatusNode1, kOtaNode1, kParamNode1})) << "chunk " << chunk;
        EXPECT_EQ(b.received(), (std::vector<Bytes>{kStatusNode2})) << "chunk " << chunk;
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

TEST_F(Rs485Receive, ReplyBehindAStrayStartComesOutWithItsLastByte) {
    // 'H' announcing 64 more bytes, then a whole 'X' reply: the reply is
    // delivered by the call that brings its last byte.
    EXPECT_EQ(feed(Bytes{0x48, 0x01, 0x00, 0x40}), 0);
    EXPECT_EQ(feed(kParamNode1), 0);
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kParamNode1}));

    // The stray start went with it: bytes that would have completed its
    // 70-byte span bring neither the reply again nor anything else.
    feed(Bytes(60, 0x00));
    feed(kStatusNode2);
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kParamNode1}));
    EXPECT_EQ(hand2.received(), (std::vector<Bytes>{kStatusNode2}));

    // Several strays, one chunk: each reply still comes out.
    feed(cat({Bytes{0x70, 0x02, 0x00, 0x3F, 0x48, 0x02, 0x00, 0x20}, kStatusNode1, Bytes{0x58, 0x02}, kOtaNode1}));
    EXPECT_EQ(hand1.received(), (std::vector<Bytes>{kParamNode1, kStatusNode1, kOtaNode1}));
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
