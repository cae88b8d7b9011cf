// The registry stand-in and the data module's before-connect reading of the
// connection parameters.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "db/registry.h"
#include "text/param_codec.h"

namespace {

namespace fs = std::filesystem;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string t = (fs::temp_directory_path() / "libupgrade-reg-XXXXXX").string();
    ASSERT_NE(mkdtemp(t.data()), nullptr);
    root_ = t;
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

TEST_F(RegistryTest, AbsentKeyGivesTheStoredDefaults) {
  const db::Registry reg(root_);
  EXPECT_FALSE(reg.KeyExists(db::kLibKey));
  const auto p = db::LoadConnectParams(reg);
  EXPECT_EQ(p.data_source, "LibODBC");
  EXPECT_EQ(p.user, "sa");
  EXPECT_EQ(p.password, "");
}

TEST_F(RegistryTest, StoredValuesAreTrimmedAndDecoded) {
  db::Registry reg(root_);
  ASSERT_TRUE(reg.OpenKeyForWrite(db::kLibKey, true));
  reg.WriteString(db::kLibKey, "ODBCNAME", " \tLib ODBC 2\r\n");
  // GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
  // "literal" + std::string&& (GCC bug 105329): a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  reg.WriteString(db::kLibKey, "USERNAME", "  " + text::EncodeParam("admin") + " ");
  reg.WriteString(db::kLibKey, "PASSWORD", "\t" + text::EncodeParam("p\xD6\xD0") + "\n");
#pragma GCC diagnostic pop
  const auto p = db::LoadConnectParams(reg);
  EXPECT_EQ(p.data_source, "Lib ODBC 2");  // blanks inside stay
  EXPECT_EQ(p.user, "admin");
  EXPECT_EQ(p.password, "p\xD6\xD0");
}

TEST_F(RegistryTest, MissingValuesUnderAnExistingKeyReadAsEmpty) {
  db::Registry reg(root_);
  ASSERT_TRUE(reg.OpenKeyForWrite(db::kLibKey, true));
  const auto p = db::LoadConnectParams(reg);
  EXPECT_EQ(p.data_source, "");
  EXPECT_EQ(p.user, "");
  EXPECT_EQ(p.password, "");
}

TEST_F(RegistryTest, UndecodableValues) {
  db::Registry reg(root_);
  reg.WriteString(db::kLibKey, "USERNAME", "34033");  // not a multiple of four: empty
  EXPECT_EQ(db::LoadConnectParams(reg).user, "");
  reg.WriteString(db::kLibKey, "PASSWORD", "34x3");  // not a digit: conversion error
  EXPECT_THROW(db::LoadConnectParams(reg), std::invalid_argument);
}

TEST_F(RegistryTest, ValuesSurviveWhateverBytesTheyHold) {
  db::Registry reg(root_);
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string values[] = {"", "a=b=c", "line1\nline2\\n", "\x81\x5C\x81", "\xD6\xD0\xCE\xC4",
                                all};
  for (const auto& v : values) {
    reg.WriteString("SOFTWARE\\Quorvant\\Other", "V", v);
    reg.WriteString("SOFTWARE\\Quorvant\\Other", "W", "after");
    EXPECT_EQ(db::Registry(root_).ReadString("SOFTWARE\\Quorvant\\Other", "V"), v);
    EXPECT_EQ(reg.ReadString("SOFTWARE\\Quorvant\\Other", "W"), "after");
  }
  // Names and key parts match without regard to case, as in the registry.
  EXPECT_EQ(reg.ReadString("software\\QUORVANT\\other", "w"), "after");
  EXPECT_EQ(reg.ReadString("SOFTWARE\\Quorvant\\Other", "missing"), "");
  EXPECT_EQ(reg.ReadString("SOFTWARE\\Quorvant\\Nothing", "V"), "");
}

TEST_F(RegistryTest, RefusedWhereTheKeyCannotBeMade) {
  // A file standing where a key's folder must go: creation fails for every
  // user, the administrator included.
  std::ofstream(root_ / "SOFTWARE") << "x";
  db::Registry reg(root_);
  EXPECT_FALSE(reg.OpenKeyForWrite(db::kLibKey, true));
  EXPECT_FALSE(reg.OpenKeyForWrite(db::kLibKey, false));
  EXPECT_THROW(reg.WriteString(db::kLibKey, "ODBCNAME", "x"), db::RegistryError);
  EXPECT_FALSE(reg.KeyExists(db::kLibKey));
}

TEST_F(RegistryTest, OpenWithoutCreateNeedsAnExistingKey) {
  db::Registry reg(root_);
  EXPECT_FALSE(reg.OpenKeyForWrite(db::kLibKey, false));
  EXPECT_FALSE(reg.KeyExists(db::kLibKey));
  EXPECT_TRUE(reg.OpenKeyForWrite(db::kLibKey, true));
  EXPECT_TRUE(reg.KeyExists(db::kLibKey));
  EXPECT_TRUE(reg.OpenKeyForWrite(db::kLibKey, false));
}

}  // namespace
