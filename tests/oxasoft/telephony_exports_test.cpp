// Telephone-number exports of oxasoft.dll, called by name. CHANGE_TEL_FORMAT reads the
// location from the registry of this prefix: the test writes a scratch location, points
// CurrentID at it and puts CurrentID back afterwards. The rules of country 49 are Wine's own.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/oxasoft/export_call.h"
#include "tests/oxasoft/system_test_support.h"

namespace {

using oxatest::byte_string;
using oxatest::call;
using oxatest::call_string;
using oxatest::ScopedRegValue;

const std::string kTelephony = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\";
const std::string kLocations = kTelephony + "Locations";

std::string tel_format(const char* number) {
    // The second argument is never read, but the export removes it: the call checks 8 bytes.
    return call_string("CHANGE_TEL_FORMAT", number, 0xDEADBEEFu);
}

void set_text(HKEY key, const char* name, const char* text) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(strlen(text) + 1));
}

// A scratch location key holding the Berlin values, with blanks around the area code and the
// country as a DWORD, as stored locations often have it.
class Location {
  public:
    explicit Location(const std::string& id, const char* outside = "9")
        : key_(kLocations + "\\Location" + id) {
        oxatest::delete_key(HKEY_LOCAL_MACHINE, key_);
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_WRITE,
                                  nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        const DWORD country = 49;
        RegSetValueExA(k, "Country", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&country),
                       sizeof country);
        set_text(k, "AreaCode", " 30 ");
        set_text(k, "OutsideAccess", outside);
        set_text(k, "LongDistanceAccess", "8");
        RegCloseKey(k);
    }
    ~Location() { oxatest::delete_key(HKEY_LOCAL_MACHINE, key_); }
    const std::string& key() const { return key_; }

  private:
    std::string key_;
};

class ChangeTelFormat : public ::testing::Test {
  protected:
    ScopedRegValue current_id_{HKEY_LOCAL_MACHINE, kLocations, "CurrentID"};
};

const struct {
    const char* number;
    const char* dialled;
} kBerlin[] = {
    {"+49 (30) 123-45", "912345"},  {"+49 (89) 765", "8089765"}, {"+49 89 765", "989765"},
    {"+33 (1) 2345", "9003312345"}, {"+49 (301) 99", "9199"},    {"+49", "9"},
    {"030/123 45", "03012345"},
};

TEST_F(ChangeTelFormat, LocationByDwordId) {
    Location berlin("7731");
    current_id_.set_dword(7731);
    for (const auto& c : kBerlin) EXPECT_EQ(tel_format(c.number), c.dialled) << c.number;
    EXPECT_EQ(call_string("CHANGE_TEL_FORMAT", "", 0), "");  // empty result: a null handle
    EXPECT_EQ(call_string("CHANGE_TEL_FORMAT", nullptr, 0), "");
}

TEST_F(ChangeTelFormat, LocationByTextIdWithBlanks) {
    Location berlin("7731");
    current_id_.set_text(" 7731 ");
    for (const auto& c : kBerlin) EXPECT_EQ(tel_format(c.number), c.dialled) << c.number;
}

TEST_F(ChangeTelFormat, OnlyTheFirst19CharactersOfTheIdNameTheKey) {
    Location cut("7731000000000000000", "5");
    current_id_.set_text("77310000000000000009");
    EXPECT_EQ(tel_format("+49 (30) 1"), "51");
}

TEST_F(ChangeTelFormat, MissingCurrentIdLeavesEveryValueEmpty) {
    current_id_.erase();
    EXPECT_EQ(tel_format("+49 (30) 12345"), "493012345");
    EXPECT_EQ(tel_format("+33 (1) 2"), "3312");
    EXPECT_EQ(tel_format("030/123 45"), "03012345");
}

TEST_F(ChangeTelFormat, ReadsTheLocationOnEveryCall) {
    Location berlin("7731");
    current_id_.set_dword(7731);
    EXPECT_EQ(tel_format("+49 (30) 1"), "91");
    ScopedRegValue outside(HKEY_LOCAL_MACHINE, berlin.key(), "OutsideAccess");
    outside.set_text("0");
    EXPECT_EQ(tel_format("+49 (30) 1"), "01");
    outside.erase();
    EXPECT_EQ(tel_format("+49 (30) 1"), "1");
}

TEST(MakeEnbDial, ThroughTheExport) {
    EXPECT_EQ(call_string("MAKE_ENB_DIAL", "12*#0"), "ABKLJ");
    EXPECT_EQ(call_string("MAKE_ENB_DIAL", "1B2C"), "AKBL");
    EXPECT_EQ(call_string("MAKE_ENB_DIAL", "p9bc"), "pIbc");
    EXPECT_EQ(call_string("MAKE_ENB_DIAL", ""), "");
    EXPECT_EQ(call_string("MAKE_ENB_DIAL", nullptr), "");
}

TEST(IsNumber, ReadsTheWholeByteString) {
    EXPECT_EQ(call("IS_NUMBER", byte_string("12*#")), 1u);
    EXPECT_EQ(call("IS_NUMBER", byte_string("12 3")), 0u);
    EXPECT_EQ(call("IS_NUMBER", byte_string("+49")), 0u);
    EXPECT_EQ(call("IS_NUMBER", byte_string(std::string("12\0"
                                                        "3",
                                                        4))),
              0u);
    EXPECT_EQ(call("IS_NUMBER", byte_string("")), 0u);
    EXPECT_EQ(call("IS_NUMBER", nullptr), 0u);
}

}  // namespace
