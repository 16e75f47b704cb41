#include "server/linux/journal_folder_linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "server/net/journal_folder_contract.h"

namespace korrin {
namespace {

std::string freshDir() {
    char dir[] = "/tmp/korrin-spool-XXXXXX";
    return mkdtemp(dir);
}

TEST(PosixFolder, KeepsTheFolderContract) {
    const std::string dir = freshDir();
    PosixFolder folder(dir + "/a/b/spool");  // parents made too
    checkFolderContract(folder);
    std::system(("rm -rf " + dir).c_str());
}

TEST(PosixFolder, AFolderThatCannotBeWrittenSaysSo) {
    const std::string dir = freshDir();
    if (geteuid() != 0) {
        chmod(dir.c_str(), 0500);
        PosixFolder folder(dir + "/spool");
        EXPECT_FALSE(folder.create());
        EXPECT_EQ(folder.lastError(), "Permission denied");
    }
    PosixFolder file("/dev/null");
    EXPECT_FALSE(file.create());
    EXPECT_EQ(file.lastError(), "Not a directory");
    chmod(dir.c_str(), 0700);
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace korrin
