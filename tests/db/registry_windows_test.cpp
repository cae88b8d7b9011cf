// The connection parameters in the real Windows registry (run under Wine in
// a prefix of its own): GBK values through the W functions, the 32-bit view,
// and the data module's reading of them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "db/registry.h"
#include "text/gbk.h"
#include "text/param_codec.h"

namespace {

constexpr const wchar_t* kKey = L"SOFTWARE\\Quorvant\\Lib";

class RegistryWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override { Remove(); }
  void TearDown() override { Remove(); }
  static void Remove() {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, view, 0);
      ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvant", view, 0);
    }
  }
  // A value as another program of the given view reads it, in UTF-16.
  static std::wstring ReadIn(REGSAM view, const wchar_t* name) {
    wchar_t buf[256] = {};
    DWORD bytes = sizeof buf;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_REG_SZ | view_flag(view), nullptr,
                       buf, &bytes) != ERROR_SUCCESS)
      return L"<none>";
    return buf;
  }
  static DWORD view_flag(REGSAM view) {
    return view == KEY_WOW64_32KEY ? RRF_SUBKEY_WOW6432KEY : RRF_SUBKEY_WOW6464KEY;
  }
};

TEST_F(RegistryWindowsTest, ValuesRoundTripAsGbkAndLandInTheThirtyTwoBitView) {
  db::Registry reg;
  EXPECT_FALSE(reg.KeyExists(db::kLibKey));
  ASSERT_TRUE(reg.OpenKeyForWrite(db::kLibKey, true));
  EXPECT_TRUE(reg.KeyExists("software\\quorvant\\lib"));  // names ignore case
  const std::string name = text::Gbk("图书馆 ODBC");
  reg.WriteString(db::kLibKey, "ODBCNAME", name);
  reg.WriteString(db::kLibKey, "USERNAME", text::EncodeParam(text::Gbk("管理员")));
  reg.WriteString(db::kLibKey, "PASSWORD", text::EncodeParam("pw"));
  EXPECT_EQ(reg.ReadString(db::kLibKey, "odbcname"), name);
  EXPECT_EQ(reg.ReadString(db::kLibKey, "missing"), "");
  // The 32-bit library programs see the characters themselves.
  EXPECT_EQ(ReadIn(KEY_WOW64_32KEY, L"ODBCNAME"), L"\u56FE\u4E66\u9986 ODBC");
  const auto p = db::LoadConnectParams(reg);
  EXPECT_EQ(p.data_source, name);
  EXPECT_EQ(p.user, text::Gbk("管理员"));
  EXPECT_EQ(p.password, "pw");
#ifdef _WIN64
  // A 64-bit process writes the 32-bit programs' key, not its own view's.
  EXPECT_EQ(ReadIn(KEY_WOW64_64KEY, L"ODBCNAME"), L"<none>");
#endif
}

TEST_F(RegistryWindowsTest, OpenWithoutCreateNeedsAnExistingKey) {
  db::Registry reg;
  EXPECT_FALSE(reg.OpenKeyForWrite(db::kLibKey, false));
  EXPECT_FALSE(reg.KeyExists(db::kLibKey));
  EXPECT_EQ(db::LoadConnectParams(reg).data_source, "LibODBC");
  EXPECT_TRUE(reg.OpenKeyForWrite(db::kLibKey, true));
  EXPECT_TRUE(reg.OpenKeyForWrite(db::kLibKey, false));
}

}  // namespace
