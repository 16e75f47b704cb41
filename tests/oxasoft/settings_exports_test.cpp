// INI, registry and path exports through the DLL, on a scratch INI file and a scratch
// registry key that each test deletes first.
#define _WIN32_WINNT 0x0600  // RegDeleteTreeA
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/oxasoft/export_call.h"

namespace {

using oxatest::call;
using oxatest::call_string;

const long kCurrentUser = static_cast<long>(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER));
const long kLocalMachine = static_cast<long>(reinterpret_cast<ULONG_PTR>(HKEY_LOCAL_MACHINE));
const char kScratch[] = "Software\\Oxa Software\\oxasoft-dll-test";

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, kScratch);
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key_, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(key_);
        RegDeleteTreeA(HKEY_CURRENT_USER, kScratch);
    }
    void put(const char* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExA(key_, name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }
    bool stored(const char* name, DWORD* type, std::string* data) {
        DWORD size = 0;
        if (RegQueryValueExA(key_, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) {
            return false;
        }
        data->assign(size, '\0');
        return RegQueryValueExA(key_, name, nullptr, type, reinterpret_cast<BYTE*>(&(*data)[0]),
                                &size) == ERROR_SUCCESS;
    }
    std::string get(const char* name) {
        std::string writable = name;
        return call_string("GET_REG_VALUE", &kCurrentUser, kScratch, &writable[0]);
    }

    HKEY key_ = nullptr;
};

TEST_F(Registry, GetRendersEachType) {
    const DWORD all_bits = 0xFFFFFFFF, answer = 42;
    put("sz", REG_SZ, "hello", 6);
    put("multi", REG_MULTI_SZ, "a\0b\0", 5);
    put("dword_all", REG_DWORD, &all_bits, 4);
    put("dword", REG_DWORD, &answer, 4);
    put("binary", REG_BINARY, "\x01\x02", 2);
    put("expand", REG_EXPAND_SZ, "%PATH%", 7);
    put("empty", REG_SZ, "", 1);
    struct Row {
        const char* name;
        const char* text;
    };
    const Row rows[] = {{"sz", "hello"}, {"multi", "a"}, {"dword_all", "-1"}, {"dword", "42"},
                        {"binary", ""},  {"expand", ""}, {"empty", ""},       {"missing", ""}};
    for (const Row& r : rows) EXPECT_EQ(get(r.name), r.text) << r.name;
}

TEST_F(Registry, GetTextAtTheBufferBoundary) {
    // 1023 characters and the NUL fill the 1024-byte buffer exactly; one more does not fit
    // and gives nothing rather than a cut text.
    const std::string fits(1023, 'x'), too_long(1024, 'y');
    put("fits", REG_SZ, fits.c_str(), 1024);
    put("too_long", REG_SZ, too_long.c_str(), 1025);
    put("no_nul", REG_SZ, too_long.data(), 1024);
    EXPECT_EQ(get("fits"), fits);
    EXPECT_EQ(get("too_long"), "");
    EXPECT_EQ(get("no_nul"), "");
}

TEST_F(Registry, MissingKeyGivesEmpty) {
    char name[] = "sz";
    EXPECT_EQ(
        call_string("GET_REG_VALUE", &kCurrentUser, "Software\\Oxa Software\\no-such-key", name),
        "");
    EXPECT_EQ(call_string("GET_REG_VALUE", nullptr, kScratch, name), "");
}

TEST_F(Registry, DefaultValueMarkerIsRewrittenInPlace) {
    char set_name[] = "*";
    EXPECT_EQ(call("SET_REG_VALUE", &kCurrentUser, kScratch, set_name, "unnamed"), 1u);
    EXPECT_STREQ(set_name, "");
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(stored("", &type, &data));
    EXPECT_EQ(data, std::string("unnamed", 8));

    char get_name[] = "*";
    EXPECT_EQ(call_string("GET_REG_VALUE", &kCurrentUser, kScratch, get_name), "unnamed");
    EXPECT_STREQ(get_name, "");

    char del_name[] = "*";
    EXPECT_EQ(call("DEL_REG_VALUE", &kCurrentUser, kScratch, del_name), 0u);
    EXPECT_STREQ(del_name, "");
    EXPECT_FALSE(stored("", &type, &data));
}

TEST_F(Registry, SetStoresTheDataWholeWithItsNul) {
    for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{2047}, std::size_t{2048},
                               std::size_t{5000}}) {
        const std::string text(length, 'd');
        char name[] = "value";
        EXPECT_EQ(call("SET_REG_VALUE", &kCurrentUser, kScratch, name, text.c_str()), 1u);
        DWORD type = 0;
        std::string data;
        ASSERT_TRUE(stored("value", &type, &data)) << length;
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(data, text + '\0') << length;
    }
}

TEST_F(Registry, SetCreatesTheKeyAndFailsOnABadRoot) {
    const std::string sub = std::string(kScratch) + "\\new\\deeper";
    char name[] = "v";
    EXPECT_EQ(call("SET_REG_VALUE", &kCurrentUser, sub.c_str(), name, "1"), 1u);
    EXPECT_EQ(call_string("GET_REG_VALUE", &kCurrentUser, sub.c_str(), name), "1");

    const long no_root = 0;
    EXPECT_EQ(call("SET_REG_VALUE", &no_root, kScratch, name, "1"), 0u);
    // A key handle that is no longer open.
    HKEY closed = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kScratch, 0, KEY_ALL_ACCESS, &closed),
              ERROR_SUCCESS);
    RegCloseKey(closed);
    const long root = static_cast<long>(reinterpret_cast<ULONG_PTR>(closed));
    EXPECT_EQ(call("SET_REG_VALUE", &root, "not-allowed", name, "1"), 0u);
}

TEST_F(Registry, DeleteValueCodes) {
    put("v", REG_SZ, "x", 2);
    char name[] = "v";
    EXPECT_EQ(call("DEL_REG_VALUE", &kCurrentUser, kScratch, name), 0u);
    EXPECT_EQ(call("DEL_REG_VALUE", &kCurrentUser, kScratch, name),
              static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    const std::string missing = std::string(kScratch) + "\\missing";
    EXPECT_EQ(call("DEL_REG_VALUE", &kCurrentUser, missing.c_str(), name),
              static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Registry, DeleteKey) {
    const std::string leaf = std::string(kScratch) + "\\leaf";
    const std::string parent = std::string(kScratch) + "\\parent";
    const std::string child = parent + "\\child";
    for (const std::string& k : {leaf, child}) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, k.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(h);
    }
    EXPECT_EQ(call("DEL_REG_KEY", &kCurrentUser, leaf.c_str()), 0u);
    HKEY h = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, leaf.c_str(), 0, KEY_READ, &h), ERROR_SUCCESS);
    // A missing key cannot be told from a deleted one.
    EXPECT_EQ(call("DEL_REG_KEY", &kCurrentUser, leaf.c_str()), 0u);
    // A key with sub keys stays, and the platform's code comes back.
    EXPECT_NE(call("DEL_REG_KEY", &kCurrentUser, parent.c_str()), 0u);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, child.c_str(), 0, KEY_READ, &h), ERROR_SUCCESS);
    RegCloseKey(h);
}

TEST(UserName, PrefersTheOldLocationThenTheNtOne) {
    const char* const old_key = "software\\microsoft\\windows\\currentversion";
    const char* const nt_key = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    char name[] = "RegisteredOwner";
    // Put both values back afterwards: the rest of the prefix may rely on them.
    const std::string old_saved = call_string("GET_REG_VALUE", &kLocalMachine, old_key, name);
    const std::string nt_saved = call_string("GET_REG_VALUE", &kLocalMachine, nt_key, name);

    call("DEL_REG_VALUE", &kLocalMachine, old_key, name);
    ASSERT_EQ(call("SET_REG_VALUE", &kLocalMachine, nt_key, name, "NT Owner"), 1u);
    EXPECT_EQ(call_string("GET_USER_NAME"), "NT Owner");
    ASSERT_EQ(call("SET_REG_VALUE", &kLocalMachine, old_key, name, "Old Owner"), 1u);
    EXPECT_EQ(call_string("GET_USER_NAME"), "Old Owner");
    call("DEL_REG_VALUE", &kLocalMachine, old_key, name);
    call("DEL_REG_VALUE", &kLocalMachine, nt_key, name);
    EXPECT_EQ(call_string("GET_USER_NAME"), "");

    if (!old_saved.empty()) call("SET_REG_VALUE", &kLocalMachine, old_key, name, old_saved.c_str());
    if (!nt_saved.empty()) call("SET_REG_VALUE", &kLocalMachine, nt_key, name, nt_saved.c_str());
}

TEST(AppPath, DirectoryOfTheCallingProgram) {
    char path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    std::string expected = path;
    expected.erase(expected.find_last_of("\\/") + 1);
    EXPECT_EQ(call_string("GET_APP_PATH"), expected);
    EXPECT_EQ(expected.back(), '\\');
}

class Ini : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, dir);
        file_ = std::string(dir) + "oxasoft-dll-test.ini";
        DeleteFileA(file_.c_str());
    }
    void TearDown() override { DeleteFileA(file_.c_str()); }
    std::string file_;
};

TEST_F(Ini, WriteAndReadBack) {
    const char* f = file_.c_str();
    EXPECT_EQ(call_string("READ_INI", "s", "k", f), "");  // no file yet
    EXPECT_NE(call("WRITE_INI", "s", "k", "value", f), 0u);
    EXPECT_NE(call("WRITE_INI", "s", "second", "2", f), 0u);
    EXPECT_EQ(call_string("READ_INI", "s", "k", f), "value");
    EXPECT_EQ(call_string("READ_INI", "s", "missing", f), "");
    EXPECT_EQ(call_string("READ_INI", "other", "k", f), "");
    // A null key lists the section's keys; the text ends after the first.
    EXPECT_EQ(call_string("READ_INI", "s", nullptr, f), "k");
    // Null value removes the key, null key the section.
    EXPECT_NE(call("WRITE_INI", "s", "k", nullptr, f), 0u);
    EXPECT_EQ(call_string("READ_INI", "s", "k", f), "");
    EXPECT_EQ(call_string("READ_INI", "s", "second", f), "2");
    EXPECT_NE(call("WRITE_INI", "s", nullptr, nullptr, f), 0u);
    EXPECT_EQ(call_string("READ_INI", "s", "second", f), "");
}

TEST_F(Ini, LongValuesAreCutTo254Characters) {
    const char* f = file_.c_str();
    for (std::size_t length :
         {std::size_t{253}, std::size_t{254}, std::size_t{255}, std::size_t{300}}) {
        const std::string value(length, 'v');
        ASSERT_NE(call("WRITE_INI", "s", "k", value.c_str(), f), 0u);
        EXPECT_EQ(call_string("READ_INI", "s", "k", f), value.substr(0, 254)) << length;
    }
}

}  // namespace
