// runner_serve_test.cpp - --serve's address, the checks every request passes and
// the reading of a page's input batch: what is taken, what is refused.
#include "cli/serve/serve.h"

#include <gtest/gtest.h>

namespace {

// Each text and what it gives: the host, the port, the authority a browser
// sends, whether it is warned; or a refusal.
TEST(ServeAddress, TakesPortsAndAddressesRefusesTheRest) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
        const char* authority;
        bool beyond_loopback;
    } cases[] = {
        {"8731", true, "127.0.0.1", 8731, "127.0.0.1:8731", false},
        {"0", true, "127.0.0.1", 0, "127.0.0.1:0", false},
        {"127.0.0.1:80", true, "127.0.0.1", 80, "127.0.0.1:80", false},
        {"127.1:0", true, "127.0.0.1", 0, "127.0.0.1:0", false},
        {"0x7F.0.0.2:80", true, "127.0.0.2", 80, "127.0.0.2:80", false},
        {"2130706433:80", true, "127.0.0.1", 80, "127.0.0.1:80", false},
        {"10.1:80", true, "10.0.0.1", 80, "10.0.0.1:80", true},
        {"0.0.0.0:8731", false, "", 0, "", false},
        {"0:8731", false, "", 0, "", false},
        {"[::]:8731", false, "", 0, "", false},
        {"LocalHost:65535", true, "localhost", 65535, "localhost:65535", true},
        {"[::1]:8731", true, "::1", 8731, "[::1]:8731", false},
        {"[0:0:0:0:0:0:0:1]:80", true, "::1", 80, "[::1]:80", false},
        {"[FE80:0:0:0:A:0:0:1]:1", true, "fe80::a:0:0:1", 1, "[fe80::a:0:0:1]:1", true},
        {"[1:0:0:2:0:0:0:3]:1", true, "1:0:0:2::3", 1, "[1:0:0:2::3]:1", true},
        {"[::ffff:127.0.0.1]:1", true, "::ffff:7f00:1", 1, "[::ffff:7f00:1]:1", true},
        {"", false, "", 0, "", false},
        {":8731", false, "", 0, "", false},
        {"65536", false, "", 0, "", false},
        {"99999999999", false, "", 0, "", false},
        {"-1", false, "", 0, "", false},
        {"80a", false, "", 0, "", false},
        {"host:", false, "", 0, "", false},
        {"::1:80", false, "", 0, "", false},
        {"a/b:80", false, "", 0, "", false},
        {"[::1]", false, "", 0, "", false},
        {"[::1]80", false, "", 0, "", false},
        {"[::1:80", false, "", 0, "", false},
        {"[::1]:", false, "", 0, "", false},
        {"[::1]:65536", false, "", 0, "", false},
        {"[]:80", false, "", 0, "", false},
        {"[127.0.0.1]:80", false, "", 0, "", false},
        {"[fe80::1%eth0]:80", false, "", 0, "", false},
    };
    for (const Case& c : cases) {
        runner::ServeAddress a;
        std::string error;
        bool ok = runner::ParseServeAddress(c.text, a, error);
        EXPECT_EQ(ok, c.ok) << c.text;
        if (ok && c.ok) {
            EXPECT_EQ(a.host, c.host) << c.text;
            EXPECT_EQ(a.port, c.port) << c.text;
            EXPECT_EQ(runner::AuthorityOf(a.host, a.port), c.authority) << c.text;
            EXPECT_EQ(a.beyond_loopback, c.beyond_loopback) << c.text;
        } else if (!ok) {
            EXPECT_NE(error.find("--serve"), std::string::npos) << c.text;
        }
    }
}

// Who is served: the token, then Host and Origin against the served address,
// written as a browser writes them.
TEST(ServeRequest, ServesOnlyTheTokenAtTheServedAddress) {
    const std::string tok = "00112233445566778899aabbccddeeff";
    const runner::ServedAt v4{tok, "127.0.0.1", 8731}, v6{tok, "::1", 8731},
        port80{tok, "127.0.0.1", 80};
    struct Case {
        const runner::ServedAt& served;
        runner::RequestFields request;
        const char* refusal; // the start of the refusal; "" served
    } cases[] = {
        {v4, {tok, "127.0.0.1:8731", false, ""}, ""},
        {v4, {tok, "127.0.0.1:8731", true, "http://127.0.0.1:8731"}, ""},
        {v4, {"", "127.0.0.1:8731", false, ""}, "no valid token"},
        {v4, {tok + "0", "127.0.0.1:8731", false, ""}, "no valid token"},
        {v4, {tok, "evil.example:8731", false, ""}, "Host \"evil.example:8731\" is not"},
        {v4, {tok, "127.0.0.1", false, ""}, "Host"},
        {v4, {tok, "127.0.0.1:8731", true, "http://evil.example"}, "Origin"},
        {v4, {tok, "127.0.0.1:8731", true, ""}, "Origin"},
        {v4, {tok, "127.0.0.1:8731", true, "null"}, "Origin"},
        {v6, {tok, "[::1]:8731", true, "http://[::1]:8731"}, ""},
        {v6, {tok, "::1:8731", false, ""}, "Host"},
        {v6, {tok, "[::1]:8731", true, "http://::1:8731"}, "Origin"},
        {port80, {tok, "127.0.0.1", true, "http://127.0.0.1"}, ""},
        {port80, {tok, "127.0.0.1:80", true, "http://127.0.0.1:80"}, ""},
        {port80, {tok, "127.0.0.1:81", false, ""}, "Host"},
        // What was sent is quoted printable, whatever it was.
        {v4, {tok, "a\x1b[2Jb\x7f\xc3\xa9", false, ""}, "Host \"a?[2Jb???\" is not 127.0.0.1:8731"},
    };
    for (const Case& c : cases) {
        std::string why = runner::RefusalOf(c.request, c.served);
        if (*c.refusal == 0)
            EXPECT_EQ(why, "") << c.request.host << " " << c.request.origin;
        else
            EXPECT_EQ(why.rfind(c.refusal, 0), 0u) << why;
    }
}

// Batches: taken whole, with each input as sent, or refused whole with a reason,
// never an exception.
TEST(ServeRequest, ReadsInputBatchesRefusesMalformedOnes) {
    std::vector<runner::PageInput> batch;
    std::string why;
    ASSERT_TRUE(runner::ParseInputBatch(
        R"({"events":[{"k":"sync","ts":5.5},{"k":"down","vk":17,"ts":10,"repeat":true},)"
        R"({"k":"up","vk":254,"blur":true},{"k":"tap","caption":"Clear"}]})",
        batch, why))
        << why;
    ASSERT_EQ(batch.size(), 4u);
    EXPECT_EQ(batch[0].kind, runner::PageInput::Sync);
    EXPECT_EQ(batch[0].ts, 5.5);
    EXPECT_EQ(batch[1].kind, runner::PageInput::Down);
    EXPECT_EQ(batch[1].vk, 17);
    EXPECT_TRUE(batch[1].repeat);
    EXPECT_EQ(batch[2].kind, runner::PageInput::Up);
    EXPECT_TRUE(batch[2].on_blur);
    EXPECT_EQ(batch[3].caption, "Clear");

    struct Case {
        const char* body;
        const char* why;
    } bad[] = {
        {"", "not a batch of inputs"},
        {"[]", "not a batch of inputs"},
        {R"({"events":{}})", "not a batch of inputs"},
        {R"({"events":[1]})", "an input without a kind"},
        {R"({"events":[{"k":"down"}]})", "a key without a key code from 1 to 254"},
        {R"({"events":[{"k":"down","vk":0}]})", "a key without a key code from 1 to 254"},
        {R"({"events":[{"k":"down","vk":65.0}]})", "a key without a key code from 1 to 254"},
        {R"({"events":[{"k":"down","vk":4294967361}]})", "a key without a key code from 1 to 254"},
        {R"({"events":[{"k":"down","vk":65,"repeat":1}]})", "a flag that is not true or false"},
        {R"({"events":[{"k":"up","vk":65,"blur":"yes"}]})", "a flag that is not true or false"},
        {R"({"events":[{"k":"down","vk":65,"ts":"1"}]})", "a stamp that is not a time in ms"},
        {R"({"events":[{"k":"sync","ts":1e300}]})", "a stamp that is not a time in ms"},
        {R"({"events":[{"k":"tap","caption":"Exit\n11 D C"}]})",
         "a tap caption with a control character"},
        {R"({"events":[{"k":"tap","caption":"E\u0085x"}]})",
         "a tap caption with a control character"},
        {R"({"events":[{"k":"tap","caption":"\u202eTIXE"}]})",
         "a tap caption with a control character"},
        {R"({"events":[{"k":"tap","caption":"a\u2067b"}]})",
         "a tap caption with a control character"},
        {R"({"events":[{"k":"tap"}]})", "a tap without a caption"},
        {R"({"events":[{"k":"down","vk":65},{"k":"jump"}]})", "an input of an unknown kind"},
    };
    for (const Case& c : bad) {
        EXPECT_FALSE(runner::ParseInputBatch(c.body, batch, why)) << c.body;
        EXPECT_EQ(why, c.why) << c.body;
        EXPECT_TRUE(batch.empty()) << c.body;
    }
}

// Stamps map onto the device clock by the smallest delay seen, so hold times
// stay the page's; the times keep their order and never pass the arrival.
TEST(ServeRequest, SchedulesStampsInOrderUpToTheArrival) {
    using K = runner::PageInput;
    auto in = [](K::Kind kind, double ts) { return K{kind, 65, false, false, "", ts}; };
    runner::InputTiming timing;
    EXPECT_TRUE(timing.Schedule({in(K::Sync, 1000)}, 1100).empty()); // delay 100
    EXPECT_EQ(timing.Schedule({in(K::Down, 1050), in(K::Up, 1100), in(K::Tap, 0)}, 1300),
              (std::vector<double>{1150, 1200, 1300}));
    EXPECT_EQ(timing.Schedule(
                  {in(K::Down, 1020), in(K::Up, 1290), in(K::Sync, 1350), in(K::Down, 1380)}, 1400),
              (std::vector<double>{1300, 1390, 1400}));
}

} // namespace
