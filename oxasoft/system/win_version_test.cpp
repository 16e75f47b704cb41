// Version name table over platform id, major, minor and service-pack text.
#include "oxasoft/system/win_version.h"

#include <gtest/gtest.h>

namespace oxa::system {
namespace {

TEST(WinVersionName, Table) {
    const struct {
        std::uint32_t platform, major, minor;
        const char* sp;
        const char* name;
    } cases[] = {
        {1, 4, 0, "", "W95"},
        {1, 4, 5, "", "W95"},
        {1, 4, 9, " C", "W95"},
        {1, 4, 10, " A", "W98"},
        {1, 7, 90, "", "ME"},
        {1, 4, 11, "", ""},
        {1, 4, 50, "", ""},
        {1, 4, 0xFFFFFFFFu, "", ""},  // unsigned: not "below 10"
        {2, 3, 51, "Service Pack 5", "NT 3.51 Service Pack 5"},
        {2, 4, 0, "", "NT 4.0 "},
        {2, 4, 0, "Service Pack 6", "NT 4.0 Service Pack 6"},
        {2, 5, 0, "Service Pack 4", "Windows 2000 Service Pack 4"},
        {2, 5, 1, "Service Pack 3", "Windows XP Service Pack 3"},
        {2, 5, 1, "", "Windows XP "},
        {2, 5, 2, "Service Pack 2", ""},
        {2, 6, 1, "Service Pack 1", ""},
        {2, 0xFFFFFFFFu, 0, "", ""},
        {0, 3, 10, "", "0"},
        {3, 0, 0, "", "3"},
        {0xFFFFFFFFu, 0, 0, "", "4294967295"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(win_version_name(c.platform, c.major, c.minor, c.sp), c.name)
            << c.platform << " " << c.major << "." << c.minor;
    }
}

}  // namespace
}  // namespace oxa::system
