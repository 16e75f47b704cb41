// The export table of the loaded DLL holds exactly the names of oxasoft.def, undecorated.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/oxasoft/export_call.h"

namespace {

struct DefExport {
    const char* name;
    int argument_bytes;
};
const DefExport kDefExports[] = {
#include OXASOFT_DEF_FILE
};

std::set<std::string> exported_names(HMODULE module) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    // The process's own layout: PE32 in a 32-bit process, PE32+ in a 64-bit one.
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::set<std::string> names;
    if (dir.VirtualAddress == 0) return names;
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* name_rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        names.insert(reinterpret_cast<const char*>(base + name_rvas[i]));
    }
    return names;
}

TEST(ExportTable, HoldsExactlyTheListedNames) {
    HMODULE module = oxatest::oxasoft_module();
    ASSERT_NE(module, nullptr);
    std::set<std::string> listed;
    for (const DefExport& e : kDefExports) {
        EXPECT_TRUE(listed.insert(e.name).second) << e.name << " is listed twice";
        EXPECT_EQ(e.argument_bytes % 4, 0) << e.name;
    }
    EXPECT_EQ(listed.size(), 36u) << "the library has 36 exports";
    EXPECT_EQ(exported_names(module), listed);
}

TEST(ExportTable, NoDecoratedNames) {
    for (const std::string& name : exported_names(oxatest::oxasoft_module())) {
        EXPECT_EQ(name.find('@'), std::string::npos) << name;
        EXPECT_NE(name[0], '_') << name;
        EXPECT_EQ(name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"),
                  std::string::npos)
            << name;
    }
}

TEST(ExportTable, EveryListedNameResolves) {
    for (const DefExport& e : kDefExports) {
        EXPECT_NE(GetProcAddress(oxatest::oxasoft_module(), e.name), nullptr) << e.name;
    }
}

}  // namespace
