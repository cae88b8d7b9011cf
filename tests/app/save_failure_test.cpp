// The window never shows its completion box over a database file the disk
// refused: the error box names the file layer's error and what is safe, and
// the window stays Stopped.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/qt/up_lib_main.h"
#include "tests/app/qt_harness.h"
#include "tests/support/support.h"

namespace {

using app_testing::BoxWatcher;

using testing_support::StorageFault;

TEST(UpLibMainSave, ADatabaseFileThatCannotBeWrittenShowsTheErrorBoxNotTheCompletionBox) {
  app_testing::UpgradeWindow t({"release_2007_03.sql"});
  // The window again, on the database opened anew while every write of a new
  // database file fails, as on a disk with room for the journal's records
  // but not for a copy of the database.
  t.w.reset();
  t.c.reset();
  StorageFault fault("checkpoint");
  t.c = t.scratch.Connect();
  t.w = std::make_unique<app::TUpLibMain>(*t.c, std::vector{testing_support::SampleDir()});
  t.w->show();
  BoxWatcher boxes;
  t.w->cbBackUp->click();
  t.w->btDoWork->click();

  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Critical);
  const std::string text = boxes.boxes[0].text.toStdString();
  EXPECT_NE(text.find("No space left on device"), std::string::npos) << text;
  EXPECT_NE(text.find("没有丢失"), std::string::npos) << text;
  EXPECT_NE(text.find("腾出磁盘空间"), std::string::npos) << text;
  EXPECT_TRUE(t.Enabled(false, false, false));
  // Every step is committed, in the journal.
  EXPECT_EQ(testing_support::Scalar(
                *t.c, "select count(*) from ver_manage where vm_mess='ZZ20170109.SFZ'"),
            "1");
}

}  // namespace
