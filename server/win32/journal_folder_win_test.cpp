#include "server/win32/journal_folder_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "server/net/testing/journal_folder_contract.h"

namespace korrin {
namespace {

TEST(WinFolder, KeepsTheFolderContract) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string dir = std::string(temp) + "korrin-spool-" + std::to_string(GetTickCount());
    WinFolder folder(dir + "\\a\\spool");  // parents made too
    checkFolderContract(folder);
    std::vector<std::string> names;
    folder.list(names);
    for (const std::string& n : names) folder.remove(n);
    for (const std::string& d : {dir + "\\a\\spool", dir + "\\a", dir}) RemoveDirectoryA(d.c_str());
}

}  // namespace
}  // namespace korrin
