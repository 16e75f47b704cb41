#include "oxasoft/settings/path_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(DirectoryPart, CutsAfterTheLastSeparator) {
    struct Row {
        const char* path;
        const char* dir;
    };
    const Row rows[] = {
        {"C:\\Prog\\app.exe", "C:\\Prog\\"},
        {"C:/Prog/sub/app.exe", "C:/Prog/sub/"},
        {"C:\\Prog/sub\\app.exe", "C:\\Prog/sub\\"},
        {"C:/Prog\\sub/app.exe", "C:/Prog\\sub/"},
        {"\\\\server\\share\\app.exe", "\\\\server\\share\\"},
        {"C:\\", "C:\\"},
        {"app.exe", ""},
        {"", ""},
    };
    for (const Row& r : rows) EXPECT_EQ(oxa::settings::directory_part(r.path), r.dir) << r.path;
}

}  // namespace
