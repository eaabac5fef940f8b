// RS485 bus worker: what goes on the line, in which order, how far apart, and
// how waiting requests end when hands leave or the bus closes.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "rs485_test_support.h"

using namespace rs485_test;
using morvx::RS485NodeEndpoint;
using morvx::RS485SharedBusContext;

namespace {

const Bytes kPollNode1{0x50, 0x01, 0xD0, 0x06, 0x9D, 0x26};

class Rs485Worker : public ::testing::Test {
protected:
    void SetUp() override {
        ctx.set_send_function(line.function());
        ep1 = std::make_shared<RS485NodeEndpoint>(hand1.as_owner(), 1);
        ep2 = std::make_shared<RS485NodeEndpoint>(hand2.as_owner(), 2);
        ASSERT_TRUE(ctx.register_endpoint(ep1));
        ASSERT_TRUE(ctx.register_endpoint(ep2));
    }
    void TearDown() override {
        line.release();
        ctx.close();
    }

    // Submits from another thread; the future holds the submit's result.
    std::future<bool> submit_async(std::shared_ptr<RS485NodeEndpoint> ep, Bytes payload) {
        return std::async(std::launch::async, [this, ep, payload]() mutable {
            return ctx.submit_request(ep, 0x500, ep->node_id, payload, false);
        });
    }
    // Submits and waits until the request sits in the queue.
    std::future<bool> submit_queued(std::shared_ptr<RS485NodeEndpoint> ep, Bytes payload) {
        const std::size_t before = ctx.queued_requests();
        std::future<bool> f = submit_async(ep, payload);
        EXPECT_TRUE(eventually([&] { return ctx.queued_requests() > before; }));
        return f;
    }
    static void expect_spacing(const std::vector<RecordingLine::Sent>& sent) {
        for (std::size_t i = 1; i < sent.size(); ++i) {
            const auto gap = sent[i].entered - sent[i - 1].returned;
            EXPECT_GE(gap, milliseconds(30)) << "between transmission " << i - 1 << " and " << i;
        }
    }

    FakeHand hand1, hand2;
    RecordingLine line;
    RS485SharedBusContext ctx{fake_hooks()};
    std::shared_ptr<RS485NodeEndpoint> ep1, ep2;
};

}  // namespace

TEST_F(Rs485Worker, SubmitSendsTheWireFrameAndKeepsItInThePayload) {
    Bytes payload{0x01, 0x02, 0x03};
    ep1.reset();
    auto ep3 = std::make_shared<RS485NodeEndpoint>(hand1.as_owner(), 3);
    ASSERT_TRUE(ctx.register_endpoint(ep3));
    const auto start = Clock::now();
    EXPECT_TRUE(ctx.submit_request(ep3, 0x500, 3, payload, false));
    const Bytes wire{0x50, 0x03, 0x01, 0x02, 0x03, 0xF4, 0xE9};
    EXPECT_EQ(payload, wire);
    ASSERT_EQ(line.count(), 1u);
    EXPECT_EQ(line.sent()[0].frame, wire);
    // The first frame of a new context is not held back by the spacing rule.
    EXPECT_LT(line.sent()[0].entered - start, milliseconds(1000));
}

TEST_F(Rs485Worker, DryRunAndNullEndpointQueueNothing) {
    Bytes payload{0xAA};
    EXPECT_TRUE(ctx.submit_request(ep1, 0x9000, 2, payload, true));
    EXPECT_EQ(payload, (Bytes{0x90, 0x02, 0xAA, 0xF0, 0xF2}));
    Bytes other{0x11, 0x22};
    EXPECT_FALSE(ctx.submit_request(nullptr, 0x600, 5, other, false));
    EXPECT_EQ(other, (Bytes{0x60, 0x05, 0x11, 0x22, 0x82, 0x6C}));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(line.count(), 0u);
}

TEST_F(Rs485Worker, TransmissionsAreAtLeastThirtyMillisecondsApart) {
    for (int i = 0; i < 4; ++i) {
        Bytes payload{static_cast<uint8_t>(i)};
        EXPECT_TRUE(ctx.submit_request(ep1, 0x500, 1, payload, false));
    }
    const auto sent = line.sent();
    ASSERT_EQ(sent.size(), 4u);
    expect_spacing(sent);
    // Loose upper bound: the worker is not idling far past its slot.
    EXPECT_LT(sent[3].entered - sent[0].returned, milliseconds(3000));
}

TEST_F(Rs485Worker, RequestsGoFirstInArrivalOrderThenPolls) {
    hand1.offers_poll = true;
    line.hold();
    ctx.set_poll_state(ep1, 1);
    ASSERT_TRUE(line.wait_until_held());  // a poll sits in the send function
    auto a = submit_queued(ep2, {0xA1});
    auto b = submit_queued(ep1, {0xB1});
    auto c = submit_queued(ep2, {0xC1});
    line.release();
    EXPECT_TRUE(a.get());
    EXPECT_TRUE(b.get());
    EXPECT_TRUE(c.get());
    ASSERT_TRUE(line.wait_for_count(5));
    const auto sent = line.sent();
    EXPECT_EQ(sent[0].frame, kPollNode1);
    EXPECT_EQ(sent[1].frame[2], 0xA1);
    EXPECT_EQ(sent[2].frame[2], 0xB1);
    EXPECT_EQ(sent[3].frame[2], 0xC1);
    EXPECT_EQ(sent[4].frame, kPollNode1);  // polling resumes afterwards
    expect_spacing(sent);
}

TEST_F(Rs485Worker, PollsAlternateBetweenHandsInNodeOrder) {
    FakeHand hand3;
    auto ep3 = std::make_shared<RS485NodeEndpoint>(hand3.as_owner(), 3);
    ASSERT_TRUE(ctx.register_endpoint(ep3));  // registered but monitor off: never polled
    // Both monitors on before the line is there, so polling starts with both.
    ctx.set_send_function(morvx::send_data_callback());
    ctx.set_poll_state(ep2, 1);
    ctx.set_poll_state(ep1, 1);
    ctx.set_send_function(line.function());
    ASSERT_TRUE(line.wait_for_count(5));
    ctx.set_poll_state(ep1, 0);
    ctx.set_poll_state(ep2, 0);
    const auto sent = line.sent();
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(sent[i].frame[0], 0x50);
        EXPECT_EQ(sent[i].frame[1], i % 2 == 0 ? 1 : 2) << "poll " << i;
    }
    expect_spacing(sent);
    EXPECT_EQ(hand3.polls_given.load(), 0);
}

TEST_F(Rs485Worker, SinglePollableHandIsPolledEveryTurnAndStops) {
    ctx.set_poll_state(ep2, 1);
    ASSERT_TRUE(line.wait_for_count(3));
    ctx.set_poll_state(ep2, 0);
    const std::size_t after_stop = line.count();
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_LE(line.count(), after_stop + 1);  // at most one already under way
    for (const auto& s : line.sent()) EXPECT_EQ(s.frame[1], 2);
}

TEST_F(Rs485Worker, RefusedPollsSendNothingUntilTheHandOffersOne) {
    hand1.offers_poll = false;
    ctx.set_poll_state(ep1, 1);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(line.count(), 0u);
    hand1.offers_poll = true;
    EXPECT_TRUE(line.wait_for_count(1));
}

TEST_F(Rs485Worker, NoPollsWithoutSendFunction) {
    ctx.set_send_function(morvx::send_data_callback());
    ctx.set_poll_state(ep1, 1);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(hand1.polls_given.load(), 0);
    ctx.set_send_function(line.function());
    EXPECT_TRUE(line.wait_for_count(1));
}

TEST_F(Rs485Worker, LineFailuresFailTheRequestAndTheWorkerCarriesOn) {
    Bytes p{0x01};
    line.set_result(false);
    EXPECT_FALSE(ctx.submit_request(ep1, 0x500, 1, p, false));
    line.set_result(true);
    line.throw_next();
    p = {0x02};
    EXPECT_FALSE(ctx.submit_request(ep1, 0x500, 1, p, false));
    p = {0x03};
    EXPECT_TRUE(ctx.submit_request(ep1, 0x500, 1, p, false));
    EXPECT_EQ(line.count(), 3u);

    ctx.set_send_function(morvx::send_data_callback());
    p = {0x04};
    EXPECT_FALSE(ctx.submit_request(ep1, 0x500, 1, p, false));
}

TEST_F(Rs485Worker, DetachedHandsRequestFailsWithoutSending) {
    {
        std::lock_guard<std::mutex> lock(ep1->mutex);
        ep1->owner = nullptr;
    }
    Bytes p{0x01};
    EXPECT_FALSE(ctx.submit_request(ep1, 0x500, 1, p, false));
    EXPECT_EQ(line.count(), 0u);
}

TEST_F(Rs485Worker, UnregisterFailsOnlyThatHandsWaitingRequests) {
    Bytes first{0x00};
    line.hold();
    auto in_flight = submit_async(ep1, first);
    ASSERT_TRUE(line.wait_until_held());
    auto a = submit_queued(ep2, {0xA1});
    auto b = submit_queued(ep1, {0xB1});
    auto c = submit_queued(ep2, {0xC1});
    auto d = submit_queued(ep1, {0xD1});
    ctx.unregister_endpoint(ep2);
    EXPECT_FALSE(a.get());
    EXPECT_FALSE(c.get());
    EXPECT_EQ(ep2->poll_state.load(), 0);
    line.release();
    EXPECT_TRUE(in_flight.get());
    EXPECT_TRUE(b.get());
    EXPECT_TRUE(d.get());
    const auto sent = line.sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].frame[2], 0xB1);
    EXPECT_EQ(sent[2].frame[2], 0xD1);
}

TEST_F(Rs485Worker, RegisterRefusesASecondLiveHandOnTheSameNodeId) {
    FakeHand other;
    auto twin = std::make_shared<RS485NodeEndpoint>(other.as_owner(), 1);
    EXPECT_TRUE(ctx.register_endpoint(ep1));  // same endpoint again: fine
    EXPECT_FALSE(ctx.register_endpoint(twin));
    EXPECT_FALSE(ctx.register_endpoint(nullptr));
    // Unregistering the refused twin leaves the live hand's entry alone.
    ctx.unregister_endpoint(twin);
    const Bytes reply{0x48, 0x01, 0x50, 0x02, 0x10, 0x20, 0x8E, 0x8B};
    ctx.receive_bytes(reply.data(), reply.size());
    EXPECT_EQ(hand1.frame_count(), 1u);
    EXPECT_EQ(other.frame_count(), 0u);
    // Once the first hand is gone, its node id is free again.
    ep1.reset();
    EXPECT_TRUE(ctx.register_endpoint(twin));
    ctx.receive_bytes(reply.data(), reply.size());
    EXPECT_EQ(other.frame_count(), 1u);
}

TEST_F(Rs485Worker, CloseFailsWaitingRequestsAndIsFinal) {
    line.hold();
    auto in_flight = submit_async(ep1, {0x00});
    ASSERT_TRUE(line.wait_until_held());
    auto a = submit_queued(ep2, {0xA1});
    auto b = submit_queued(ep1, {0xB1});
    std::thread closer([&] { ctx.close(); });  // joins the worker: blocks until released
    ASSERT_TRUE(eventually([&] { return !ctx.is_open(); }));
    line.release();
    closer.join();
    EXPECT_TRUE(in_flight.get());
    EXPECT_FALSE(a.get());
    EXPECT_FALSE(b.get());
    EXPECT_EQ(line.count(), 1u);
    EXPECT_FALSE(ctx.is_open());

    ctx.close();  // second close: nothing
    Bytes p{0x01};
    EXPECT_FALSE(ctx.submit_request(ep1, 0x500, 1, p, false));
    EXPECT_EQ(p, (Bytes{0x50, 0x01, 0x01, 0xB1, 0x81}));  // the payload still became the wire frame
    EXPECT_FALSE(ctx.register_endpoint(std::make_shared<RS485NodeEndpoint>(hand1.as_owner(), 4)));
    const uint8_t b0 = 0x48;
    EXPECT_EQ(ctx.receive_bytes(&b0, 1), 5);
}

TEST(Rs485WorkerLifetime, ReleasingTheLastReferenceInsideTheSendFunctionDoesNotHang) {
    FakeHand hand;
    auto ctx = std::make_shared<RS485SharedBusContext>(fake_hooks());
    auto ep = std::make_shared<RS485NodeEndpoint>(hand.as_owner(), 1);
    ASSERT_TRUE(ctx->register_endpoint(ep));
    std::promise<void> called;
    std::shared_ptr<RS485SharedBusContext> holder = ctx;
    std::atomic<bool> done{false};
    ctx->set_send_function([&](const uint8_t*, unsigned) {
        if (!done.exchange(true)) {
            holder.reset();  // the last reference goes on the worker thread
            called.set_value();
        }
        return true;
    });
    ctx->set_poll_state(ep, 1);
    std::weak_ptr<RS485SharedBusContext> watch = ctx;
    ctx.reset();  // holder (read only by the worker now) keeps it alive
    EXPECT_EQ(called.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(eventually([&] { return watch.expired(); }));
}

TEST(Rs485WorkerLifetime, CloseFromInsideTheSendFunctionEndsTheWorker) {
    FakeHand hand;
    RS485SharedBusContext ctx(fake_hooks());
    auto ep = std::make_shared<RS485NodeEndpoint>(hand.as_owner(), 1);
    ASSERT_TRUE(ctx.register_endpoint(ep));
    ctx.set_send_function([&](const uint8_t*, unsigned) {
        ctx.close();
        return true;
    });
    Bytes p{0x01};
    EXPECT_TRUE(ctx.submit_request(ep, 0x500, 1, p, false));
    EXPECT_FALSE(ctx.is_open());
    Bytes q{0x02};
    EXPECT_FALSE(ctx.submit_request(ep, 0x500, 1, q, false));
}

TEST(Rs485WorkerLifetime, SubmittingOnTheWorkerFailsInsteadOfWaitingForItself) {
    // A send function (or a hand callback run by the worker) that issues a
    // request would wait forever for the worker it runs on.
    FakeHand hand;
    RS485SharedBusContext ctx(fake_hooks());
    auto ep = std::make_shared<RS485NodeEndpoint>(hand.as_owner(), 1);
    ASSERT_TRUE(ctx.register_endpoint(ep));
    std::atomic<int> inner_result{-1};
    ctx.set_send_function([&](const uint8_t*, unsigned) {
        if (inner_result.load() == -1) {
            Bytes q{0x02};
            inner_result.store(ctx.submit_request(ep, 0x500, 1, q, false) ? 1 : 0);
        }
        return true;
    });
    auto outer = std::async(std::launch::async, [&] {
        Bytes p{0x01};
        return ctx.submit_request(ep, 0x500, 1, p, false);
    });
    ASSERT_EQ(outer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(outer.get());
    EXPECT_EQ(inner_result.load(), 0);
    ctx.close();
}

// Everything at once, for the thread sanitizer: a receive thread, the worker
// polling two hands, two submitters and a hand attaching and detaching.
TEST(Rs485WorkerConcurrency, ReceiveWorkerSubmittersAndSetUpTogether) {
    FakeHand hand1, hand2, hand3;
    RecordingLine line;
    RS485SharedBusContext ctx(fake_hooks());
    ctx.set_send_function(line.function());
    auto ep1 = std::make_shared<RS485NodeEndpoint>(hand1.as_owner(), 1);
    auto ep2 = std::make_shared<RS485NodeEndpoint>(hand2.as_owner(), 2);
    ASSERT_TRUE(ctx.register_endpoint(ep1));
    ASSERT_TRUE(ctx.register_endpoint(ep2));
    ctx.set_poll_state(ep1, 1);
    ctx.set_poll_state(ep2, 1);

    std::atomic<bool> stop{false};
    const Bytes reply1{0x48, 0x01, 0x50, 0x02, 0x10, 0x20, 0x8E, 0x8B};
    const Bytes reply2{0x48, 0x02, 0x51, 0x00, 0x8B, 0xD4};
    std::thread receiver([&] {
        Bytes stream;
        for (int i = 0; i < 20; ++i) {
            stream.insert(stream.end(), reply1.begin(), reply1.end());
            stream.insert(stream.end(), reply2.begin(), reply2.end());
            stream.push_back(0x00);
        }
        while (!stop.load()) {
            for (std::size_t i = 0; i < stream.size(); i += 5)
                ctx.receive_bytes(stream.data() + i, std::min<std::size_t>(5, stream.size() - i));
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    auto submitter = [&](std::shared_ptr<RS485NodeEndpoint> ep) {
        for (int i = 0; i < 4; ++i) {
            Bytes p{static_cast<uint8_t>(i)};
            ctx.submit_request(ep, 0x500, ep->node_id, p, false);
        }
    };
    std::thread s1(submitter, ep1);
    std::thread s2(submitter, ep2);
    std::thread churn([&] {
        for (int i = 0; i < 20 && !stop.load(); ++i) {
            auto ep3 = std::make_shared<RS485NodeEndpoint>(hand3.as_owner(), 3);
            ctx.register_endpoint(ep3);
            ctx.set_poll_state(ep3, 1);
            std::this_thread::sleep_for(milliseconds(5));
            ctx.set_poll_state(ep3, 0);
            ctx.unregister_endpoint(ep3);
            std::lock_guard<std::mutex> lock(ep3->mutex);
            ep3->owner = nullptr;
        }
    });
    s1.join();
    s2.join();
    churn.join();
    stop = true;
    receiver.join();
    ctx.close();
    EXPECT_GE(line.count(), 8u);
    EXPECT_GT(hand1.frame_count(), 0u);
    EXPECT_GT(hand2.frame_count(), 0u);
    const auto sent = line.sent();
    for (std::size_t i = 1; i < sent.size(); ++i)
        EXPECT_GE(sent[i].entered - sent[i - 1].returned, milliseconds(30));
}
