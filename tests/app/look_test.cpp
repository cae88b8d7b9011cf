// What the windows share: Qt's own texts in Chinese.
#include <gtest/gtest.h>

#include <QLocale>

#include "app/qt/look.h"
#include "tests/app/qt_harness.h"

namespace {

using app_testing::BoxWatcher;

// The program is Chinese throughout, Qt's message-box buttons included,
// whatever the system's locale says.
TEST(Look, QtButtonsAreChineseWhateverTheLocale) {
  app_testing::App();  // which loads the translation as the program does
  const QLocale before;
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_TRUE(app::InstallQtChinese());
  BoxWatcher boxes;
  app::ShowInformationBox(nullptr, QString::fromUtf8("所有处理已完成！"));
  boxes.answer = QMessageBox::Yes;
  EXPECT_TRUE(app::AskYesNo(nullptr, QString::fromUtf8("确定要退出吗？")));
  boxes.answer = QMessageBox::No;
  EXPECT_FALSE(app::AskYesNo(nullptr, QString::fromUtf8("确定要退出吗？")));
  QLocale::setDefault(before);

  ASSERT_EQ(boxes.boxes.size(), 3u);
  EXPECT_EQ(boxes.boxes[0].buttons, QStringList{QString::fromUtf8("确定")});
  for (const QString& b : boxes.boxes[1].buttons) {
    EXPECT_FALSE(b.contains("Yes") || b.contains("No")) << b.toStdString();
    EXPECT_TRUE(b.contains(QString::fromUtf8("是")) || b.contains(QString::fromUtf8("否")))
        << b.toStdString();
  }
}

}  // namespace
