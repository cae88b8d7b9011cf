// The window when a reference-data file is missing: the error box names the
// file in Chinese with the folders searched, and the database is as it was
// before the click.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <filesystem>
#include <string>
#include <vector>

#include "app/qt/up_lib_main.h"
#include "tests/app/qt_harness.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Rows;

// Every user table with its columns and indexes and its number of rows,
// the upgrade's ledger left out.
std::vector<std::string> Fingerprint(db::Connection& c) {
  std::vector<std::string> out =
      Rows(c,
           "select o.name, c.name, c.length from sysobjects o, syscolumns c "
           "where c.id = o.id and o.xtype = 'U' and o.name <> 'ver_manage' "
           "order by o.name, c.name");
  for (const std::string& i :
       Rows(c, "select name from sysindexes where name is not null order by name"))
    out.push_back("index " + i);
  for (const std::string& t :
       Rows(c, "select name from sysobjects where xtype = 'U' and name <> 'ver_manage'"))
    out.push_back(t + " " + Rows(c, "select count(*) from " + t).at(0));
  return out;
}

TEST(UpgradeWindowDataFiles, MissingAuthorNumberFileIsNamedAndNothingChanges) {
  app_testing::App();
  testing_support::ScratchDb scratch({"pre2005.sql"});
  // The program's folder holds nothing; the share folder has the other two files.
  const fs::path bin = scratch.dir() / "bin", share = scratch.dir() / "share";
  fs::create_directories(bin);
  fs::create_directories(share);
  for (const char* f : {"other.dat", "MarcRule.txt"})
    fs::copy_file(testing_support::SampleDir() / f, share / f);
  auto c = scratch.Connect();
  const std::vector<std::string> before = Fingerprint(*c);
  ASSERT_FALSE(before.empty());

  auto w = std::make_unique<app::TUpLibMain>(*c, std::vector{bin, share});
  w->show();
  app_testing::BoxWatcher boxes;
  w->cbBefore->click();
  w->cbBackUp->click();
  w->btDoWork->click();

  ASSERT_EQ(boxes.boxes.size(), 1u);
  // An error box of the program's own, titled as its other boxes, with the
  // error icon; the step named by what it does.
  EXPECT_EQ(boxes.boxes[0].caption, QString::fromUtf8("提示信息"));
  EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Critical);
  const std::string text = boxes.boxes[0].text.toStdString();
  EXPECT_NE(text.find("找不到著者号码文件 zzm.dat（查找位置：" + bin.string() + "、" +
                      share.string() + "）"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("（升级步骤“2005年3月前：旧版数据库整理，书名与著者拆分（Do200503Before）”"
                      "需要）"),
            std::string::npos)
      << text;
  EXPECT_EQ(Fingerprint(*c), before);
  EXPECT_TRUE(Rows(*c, "select name from sysobjects where name = 'ver_manage'").empty())
      << "the checks before the first change found the file missing";
}

}  // namespace
