// runner_serve_test.cpp - --serve's address: what is taken, what is refused.
#include "cli/sim/serve.h"

#include <gtest/gtest.h>

namespace {

// Each text and what it gives: the host, the port, whether the host was asked
// for, or a refusal.
TEST(ServeAddress, TakesPortsAndAddressesRefusesTheRest) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
        bool host_given;
    } cases[] = {
        {"8731", true, "127.0.0.1", 8731, false},
        {"0", true, "127.0.0.1", 0, false},
        {"127.0.0.1:80", true, "127.0.0.1", 80, false},
        {"0.0.0.0:8731", true, "0.0.0.0", 8731, true},
        {"localhost:65535", true, "localhost", 65535, true},
        {"", false, "", 0, false},
        {":8731", false, "", 0, false},
        {"65536", false, "", 0, false},
        {"99999999999", false, "", 0, false},
        {"-1", false, "", 0, false},
        {"80a", false, "", 0, false},
        {"host:", false, "", 0, false},
        {"::1:80", false, "", 0, false},
        {"a/b:80", false, "", 0, false},
    };
    for (const Case& c : cases) {
        runner::ServeAddress a;
        std::string error;
        bool ok = runner::ParseServeAddress(c.text, a, error);
        EXPECT_EQ(ok, c.ok) << c.text;
        if (ok && c.ok) {
            EXPECT_EQ(a.host, c.host) << c.text;
            EXPECT_EQ(a.port, c.port) << c.text;
            EXPECT_EQ(a.host_given, c.host_given) << c.text;
        } else if (!ok) {
            EXPECT_NE(error.find("--serve"), std::string::npos) << c.text;
        }
    }
}

} // namespace
