#include "server/linux/journal_folder_linux.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
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

// A file size limit stands in for a full disk: the writes fail part-way, the lines wait, and
// once there is room again every one of them is there, once.
TEST(PosixFolder, WritesThatFailForSpaceAreWrittenWholeLater) {
    const std::string dir = freshDir();
    PosixFolder folder(dir);
    Journal j(folder, 1 << 20);
    std::vector<std::string> notes;
    ASSERT_TRUE(j.open(notes));
    signal(SIGXFSZ, SIG_IGN);
    rlimit before;
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    for (int i = 0; i < 2000; ++i) j.append("line " + std::to_string(i) + std::string(90, '.'));
    const bool written = j.writeOut();
    const std::string why = j.error();
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(written);
    EXPECT_NE(why.find("File too large"), std::string::npos) << why;
    ASSERT_TRUE(j.sync()) << j.error();
    Journal again(folder, 1 << 20);
    ASSERT_TRUE(again.open(notes));
    EXPECT_TRUE(notes.empty());
    auto r = again.reader(1);
    std::string line;
    uint64_t seq = 0, count = 0;
    while (r.next(line, seq))
        EXPECT_EQ(line.substr(0, line.find('.')), "line " + std::to_string(count++));
    EXPECT_EQ(count, 2000u);
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace korrin
