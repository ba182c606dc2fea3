// Input files as other editors leave them: stray carriage returns, and
// device paths counted in device characters rather than bytes.
#include "cli/runner/profile.h"
#include "cli/runner/scenario.h"

#include <gtest/gtest.h>

TEST(RunnerInput, StrayCarriageReturnsAreBlanks) {
    runner::Scenario scenario;
    std::string error;
    ASSERT_TRUE(scenario.Parse("wait 10\r\r\nbutton Exit\r\r\n", "s", error)) << error;
    ASSERT_EQ(scenario.size(), 2u);
    EXPECT_EQ(scenario.Ms(0), 10u);
    EXPECT_EQ(scenario.Caption(1), u"Exit");

    device::Profile p;
    ASSERT_TRUE(runner::ParseProfile("read-only = \\Program Files\\tapwatcherdata.txt\r\r\n", "p",
                                     p, error))
        << error;
    ASSERT_EQ(p.read_only.size(), 1u);
    EXPECT_EQ(p.read_only[0], u"\\Program Files\\tapwatcherdata.txt");
}

TEST(RunnerInput, PathLimitCountsDeviceCharacters) {
    std::string e_acute = "\xC3\xA9"; // two bytes, one device character
    std::string name;
    for (int i = 0; i < 130; ++i)
        name += e_acute;
    device::Profile p;
    std::string error;
    // 15 + 130 + 4 = 149 device characters, 279 bytes.
    EXPECT_TRUE(runner::ParseProfile("exe = \\Program Files\\" + name + ".exe\n", "p", p, error))
        << error;
    EXPECT_EQ(p.exe.size(), 149u);
    // 260 device characters leave no room for the terminator.
    std::string long_name(260 - 15 - 4, 'x');
    EXPECT_FALSE(
        runner::ParseProfile("exe = \\Program Files\\" + long_name + ".exe\n", "p", p, error));
    EXPECT_EQ(error.rfind("p:1:", 0), 0u) << error;
}
