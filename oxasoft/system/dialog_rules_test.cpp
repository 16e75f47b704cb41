// Filter lists as the open-file dialog receives them.
#include "oxasoft/system/dialog_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace oxa::system {
namespace {

using namespace std::string_literals;

TEST(FilterArea, BarsBecomeNulsAndTwoNulsCloseTheList) {
    const struct {
        std::string filter, area;
    } cases[] = {
        {"All|*.*", "All\0*.*\0\0"s},
        {"Text|*.txt|All|*.*", "Text\0*.txt\0All\0*.*\0\0"s},
        {"", "\0\0"s},
        {"All|*.*|", "All\0*.*\0\0\0"s},
        // Longer than the 22 characters a 24-byte area would take: handed over whole.
        {"Documents|*.doc;*.txt|Pictures|*.bmp;*.png|All|*.*",
         "Documents\0*.doc;*.txt\0Pictures\0*.bmp;*.png\0All\0*.*\0\0"s},
    };
    for (const auto& c : cases) EXPECT_EQ(filter_area(c.filter), c.area) << c.filter;
}

}  // namespace
}  // namespace oxa::system
