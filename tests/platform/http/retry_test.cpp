#include "platform/http/retry.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <thread>
#include <variant>

#include "log_capture.hpp"

namespace dm::http {
namespace {

using std::chrono::milliseconds;
using Sleeps = std::vector<milliseconds>;

Response reply(int status, Headers headers = {}, std::string body = {}) {
    return Response{status, std::move(headers), std::move(body)};
}

std::string armError(const std::string& code) {
    return R"({"error":{"code":")" + code + R"(","message":"m"}})";
}

// Plays a script of outcomes, counting calls; sleeping advances a fake clock.
struct Harness : Transport {
    std::deque<std::variant<Response, TransportError>> script;
    int calls = 0;
    RetryOptions::Clock::time_point now{};
    Sleeps sleeps;
    RetryOptions options;

    Harness(std::initializer_list<std::variant<Response, TransportError>> outcomes)
        : script(outcomes) {
        options.clock = [this] { return now; };
        options.wallClock = [] { return RetryOptions::WallClock::from_time_t(1700000000); };
        options.sleep = [this](milliseconds d) {
            sleeps.push_back(d);
            now += d;
        };
        options.jitter = [] { return 0.5; };  // factor 1.0
    }
    Response send(const Request&) override {
        ++calls;
        auto next = script.front();
        script.pop_front();
        if (auto* error = std::get_if<TransportError>(&next))
            throw *error;
        return std::get<Response>(next);
    }
    Response run(std::string method = "GET") {
        RetryingTransport transport(std::shared_ptr<Transport>(this, [](Transport*) {}), options);
        return transport.send(Request{method, "https://host/path?api-version=1"});
    }
};

TEST(Retry, WaitsAsTheServerSays) {
    // Seconds; the millisecond headers before Retry-After; an HTTP date counted from the wall
    // clock (22:13:20 now).
    Harness h{reply(429, {{"Retry-After", "7"}}),
              reply(503, {{"Retry-After", "9"}, {"retry-after-ms", "250"}}),
              reply(503, {{"x-ms-retry-after-ms", "1500"}}),
              reply(503, {{"Retry-After", "Tue, 14 Nov 2023 22:13:50 GMT"}}), reply(200, {}, "ok")};
    EXPECT_EQ(h.run().body, "ok");
    EXPECT_EQ(h.sleeps, (Sleeps{milliseconds(7000), milliseconds(250), milliseconds(1500),
                                milliseconds(30000)}));

    // Capped; a past date means now; an unreadable hint falls back to backoff (attempt 4).
    Harness odd{reply(429, {{"Retry-After", "3600"}}),
                reply(503, {{"Retry-After", "Tue, 14 Nov 2023 22:00:00 GMT"}}),
                reply(503, {{"Retry-After", "-3"}}), reply(200)};
    EXPECT_EQ(odd.run().status, 200);
    EXPECT_EQ(odd.sleeps, (Sleeps{milliseconds(120000), milliseconds(0), milliseconds(6400)}));
}

TEST(Retry, BacksOffExponentiallyWithoutHint) {
    Harness h{reply(503), reply(503), reply(200)};
    EXPECT_EQ(h.run().status, 200);
    EXPECT_EQ(h.sleeps, (Sleeps{milliseconds(1600), milliseconds(3200)}));
    EXPECT_EQ(backoffDelay(RetryOptions{}, 2, 0.0), milliseconds(1280));
    EXPECT_EQ(backoffDelay(RetryOptions{}, 500, 1.0), milliseconds(60000));
}

TEST(Retry, Classification) {
    struct Case {
        const char* method;
        int status;
        std::string body;
        bool retried;
    } const cases[] = {
        {"GET", 404, armError("NotFound"), false},
        {"PUT", 409, armError("Conflict"), false},
        {"PUT", 409, armError("AnotherOperationInProgress"), true},
        {"DELETE", 409,
         R"({"error":{"code":"Conflict","details":[{"code":"AnotherOperationInProgress"}]}})",
         true},
        {"PUT", 400, armError("ReferencedResourceNotProvisioned"), true},
        {"PUT", 400, armError("InvalidRequestFormat"), false},
        {"PUT", 409, R"({"error":"AnotherOperationInProgress"})", false},
        {"PUT", 409, "[1]", false},
        {"GET", 502, "<html>bad gateway</html>", true},
        {"POST", 500, "", false},
        {"POST", 409, armError("AnotherOperationInProgress"), false},
        {"POST", 503, "", true},
        {"POST", 429, "", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shouldRetry(Request{c.method, "u"}, reply(c.status, {}, c.body)), c.retried)
            << c.method << " " << c.status << " " << c.body;
    }
    EXPECT_TRUE(shouldRetry(Request{"POST", "u", {}, {}, true}, reply(500)));
    EXPECT_TRUE(shouldRetry(Request{"GET", "u"}, TransportError("reset", true)));
    EXPECT_FALSE(shouldRetry(Request{"POST", "u"}, TransportError("reset", true)));
    EXPECT_FALSE(shouldRetry(Request{"POST", "u"}, TransportError("unknown")));
}

TEST(Retry, RefusalsAreReturnedAtOnce) {
    Harness missing{reply(404, {{"Retry-After", "1"}}, armError("NotFound")), reply(200)};
    EXPECT_EQ(missing.run().status, 404);
    EXPECT_EQ(missing.calls, 1);

    Harness postSent{TransportError("POST failed: reset", true), reply(200)};
    EXPECT_THROW(postSent.run("POST"), TransportError);
    EXPECT_EQ(postSent.calls, 1);

    Harness postRefused{TransportError("POST failed: refused", false), reply(201)};
    EXPECT_EQ(postRefused.run("POST").status, 201);
}

TEST(Retry, GivesUpAtMaxAttemptsOrDeadline) {
    Harness always{reply(503), reply(503), reply(503), reply(503), reply(503, {}, "last")};
    EXPECT_EQ(always.run().body, "last");
    EXPECT_EQ(always.calls, 5);

    Harness dropped{TransportError("a"), TransportError("b"), TransportError("c"),
                    TransportError("d"), TransportError("e")};
    try {
        dropped.run();
        FAIL() << "expected a TransportError";
    } catch (const TransportError& error) {
        EXPECT_STREQ(error.what(), "e");
    }

    // 1.6 s and 3.2 s fit in 5 s; 6.4 s more would not.
    Harness slow{reply(503), reply(503), reply(503, {}, "third"), reply(200)};
    slow.options.deadline = milliseconds(5000);
    EXPECT_EQ(slow.run().body, "third");
    EXPECT_EQ(slow.calls, 3);
}

TEST(Retry, LogsEachRetryAsWarning) {
    testing::LogCapture log(spdlog::level::info);
    Harness h{reply(503), reply(409, {}, armError("AnotherOperationInProgress")),
              TransportError("GET https://host/path failed: reset"), reply(200)};
    EXPECT_EQ(h.run().status, 200);
    EXPECT_EQ(log.text(),
              "warning: Retrying GET https://host/path after 503 (attempt 2 of 5, waiting 1.6 s)\n"
              "warning: Retrying GET https://host/path after 409 AnotherOperationInProgress "
              "(attempt 3 of 5, waiting 3.2 s)\n"
              "warning: Retrying GET https://host/path after transport error (GET "
              "https://host/path failed: reset) (attempt 4 of 5, waiting 6.4 s)\n");
}

// A throttle one sender got holds every other sender of the transport until the wait it chose
// has passed, whatever succeeded since; anything else holds only its own sender. The clock
// stands still, so every wait shows in full; the thread that set the gate waits only its retry.
TEST(Retry, ThrottleHoldsEverySenderOfTheTransport) {
    struct Case {
        Response first;
        Sleeps others;  // of another thread's two requests after it
    } const cases[] = {
        {reply(429, {{"Retry-After", "7"}}), {milliseconds(7000), milliseconds(7000)}},
        {reply(409, {}, armError("AnotherOperationInProgress")),
         {milliseconds(1600), milliseconds(1600)}},
        {reply(500, {{"Retry-After", "2"}}, armError("RetryableError")),
         {milliseconds(2000), milliseconds(2000)}},
        {reply(503, {{"Retry-After", "7"}}), {}},
    };
    for (const auto& c : cases) {
        Harness h{c.first, reply(200), reply(200), reply(200), c.first, reply(200), reply(200)};
        h.options.sleep = [&h](milliseconds d) { h.sleeps.push_back(d); };
        const Request first{"GET", "https://host/first"}, second{"GET", "https://host/second"};
        RetryingTransport shared(std::shared_ptr<Transport>(&h, [](Transport*) {}), h.options);
        std::thread([&] { EXPECT_EQ(shared.send(first).status, 200); }).join();
        h.sleeps.clear();
        EXPECT_EQ(shared.send(second).status, 200);
        EXPECT_EQ(shared.send(second).status, 200);
        EXPECT_EQ(h.sleeps, c.others) << c.first.status;

        h.sleeps.clear();
        RetryingTransport alone(std::shared_ptr<Transport>(&h, [](Transport*) {}), h.options);
        EXPECT_EQ(alone.send(first).status, 200);
        EXPECT_EQ(alone.send(second).status, 200);
        EXPECT_EQ(h.sleeps.size(), 1u);
    }
}

}  // namespace
}  // namespace dm::http
