#include "app/db_para.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <stdexcept>

#include "app/look.h"
#include "app/start_mess.h"
#include "text/gbk.h"
#include "text/param_codec.h"

namespace app {

namespace {

const QColor kRed(0xFF, 0x00, 0x00);
const QColor kNavy(0x00, 0x00, 0x80);

// Height of the title bar and frame of the layout this dialog was drawn for,
// used when the window system reports no frame.
constexpr int kClassicFrameHeight = 27;
constexpr int kOuterHeightWithGroup = 261;

QString U(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QRect& geometry,
                        const char* caption) {
  auto* button = new QPushButton(U(caption), parent);
  button->setObjectName(name);
  button->setGeometry(geometry);
  return button;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int left, int top, bool masked) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setGeometry(left, top, 121, 20);
  if (masked) {
    edit->setEchoMode(QLineEdit::Password);
    edit->setStyleSheet("lineedit-password-character: 42");  // '*'
  }
  return edit;
}

// A right-aligned label keeps the right edge it has in SimSun (6 pixels a
// byte at 12 pixels); a wider stand-in font makes it grow to the left.
QLabel* MakeRightLabel(QWidget* parent, const char* name, int left, int top, const char* caption) {
  QLabel* label = MakeLabel(parent, name, left, top, U(caption), kNavy);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  const int right = left + 6 * static_cast<int>(text::Gbk(caption).size());
  const int width = std::max(right - left, label->sizeHint().width());
  label->setGeometry(right - width, top, width, label->sizeHint().height());
  return label;
}

// Registry texts are GBK; the edit boxes show UTF-8.
QString FromGbk(const std::string& gbk) {
  return QString::fromStdString(text::Utf8(gbk));
}
// The edit's text in GBK without its leading and trailing blanks. A character
// GBK cannot hold is refused, naming the field.
std::string TrimmedGbk(const QLineEdit* edit, const char* field) {
  try {
    return text::Trim(text::Gbk(edit->text().toStdString()));
  } catch (const std::runtime_error&) {
    throw std::runtime_error(
        text::Gbk(std::string(field) + "中有GBK编码无法表示的字符，请改正后再保存。"));
  }
}

}  // namespace

TDbPara::TDbPara(const db::Registry& registry, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      registry_(registry) {
  setObjectName("DbPara");
  setWindowTitle(U("设置数据库连接参数"));
  setFont(SongTi());

  Label4 = MakeLabel(this, "Label4", 24, 8, U("数据库连接出错！！！"), kRed);
  Label5 = MakeLabel(this, "Label5", 48, 32, U("首先检查数据库服务器是否已运行；"), kRed);
  Label8 = MakeLabel(this, "Label8", 48, 48, U("再检查与服务器的通信是否正常；"), kRed);
  Label6 = MakeLabel(this, "Label6", 48, 64, U("再检查数据库参数是否是正确（注意不要随意改动）。"),
                     kRed);
  Label7 =
      MakeLabel(this, "Label7", 50, 80, U("确定无误后，重新运行系统。或与系统管理员联系。"), kRed);
  btMod = MakeButton(this, "btMod", QRect(352, 40, 121, 25), "修改数据库连接参数");
  btExit = MakeButton(this, "btExit", QRect(352, 72, 121, 25), "取消");

  grbBox = new QGroupBox(this);
  grbBox->setObjectName("grbBox");
  grbBox->setGeometry(8, 112, 465, 113);
  Label1 = MakeRightLabel(grbBox, "Label1", 24, 24, "ODBC名称");
  Label2 = MakeRightLabel(grbBox, "Label2", 12, 48, "登录标识号");
  Label3 = MakeRightLabel(grbBox, "Label3", 48, 72, "密码");
  Label10 = MakeLabel(grbBox, "Label10", 302, 24, U("请不要随意改动！！！"), kRed);
  QFont warning = SongTi(15);
  warning.setUnderline(true);
  Label10->setFont(warning);
  Label10->adjustSize();
  Label9 = MakeLabel(grbBox, "Label9", 8, 93,
                     U("注意：此参数是与数据库连接使用的参数，非操作员用户和密码。"), kRed);
  edOdbc = MakeEdit(grbBox, "edOdbc", 72, 16, false);
  edUser = MakeEdit(grbBox, "edUser", 72, 40, true);
  edPass = MakeEdit(grbBox, "edPass", 72, 64, true);
  btOk = MakeButton(grbBox, "btOk", QRect(336, 56, 121, 25), "保存数据库连接参数");
  grbBox->hide();

  SetTabOrder({btExit, btMod, edOdbc, edUser, edPass, btOk});

  connect(btMod, &QPushButton::clicked, this, &TDbPara::btModClick);
  connect(btOk, &QPushButton::clicked, this, &TDbPara::btOkClick);
  connect(btExit, &QPushButton::clicked, this, &TDbPara::btExitClick);

  PreviewKeys(this);

  FixAndCentre(this, 483, 105);
  FormCreate();
}

std::string TDbPara::Key() const {
  return "SOFTWARE\\Quorvant\\" + text::Gbk(StartMess.toStdString());
}

void TDbPara::FormCreate() {
  setWindowTitle(U("设置数据库【") + StartMess + U("】连接参数"));
  edOdbc->clear();
  edUser->clear();
  edPass->clear();
  try {
    const std::string key = Key();
    if (registry_.KeyExists(key)) {
      edOdbc->setText(FromGbk(text::Trim(registry_.ReadString(key, "ODBCNAME"))));
      // A long data source name shows its beginning ("embedded:/…"), not its tail.
      edOdbc->setCursorPosition(0);
      edUser->setText(
          FromGbk(text::DecodeParam(text::Trim(registry_.ReadString(key, "USERNAME")))));
      edPass->setText(
          FromGbk(text::DecodeParam(text::Trim(registry_.ReadString(key, "PASSWORD")))));
    }
  } catch (const std::exception& e) {
    // Reported once the dialog is up, as an error in a creation handler is.
    const std::string what = e.what();
    QTimer::singleShot(0, this, [this, what] { ShowErrorBox(this, std::runtime_error(what)); });
  }
}

bool TDbPara::eventFilter(QObject* watched, QEvent* event) {
  // Enter on a button presses it; on any other control it moves the focus on.
  if (PressFocusedButton(watched, event)) return true;
  if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->hasFocus()) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) focusNextChild();
  }
  return false;  // the key still reaches the control
}

void TDbPara::btModClick() {
  grbBox->show();
  int frame = frameGeometry().height() - geometry().height();
  if (frame <= 0) frame = kClassicFrameHeight;
  setFixedSize(width(), kOuterHeightWithGroup - frame);
}

void TDbPara::btOkClick() {
  try {
    Save();
  } catch (const std::exception& e) {
    ShowErrorBox(this, e);
    return;
  }
  close();
}

void TDbPara::Save() {
  // All three are converted before anything is created or written, so a value that
  // cannot be stored leaves the key as it was rather than half changed.
  const std::string odbc = TrimmedGbk(edOdbc, "ODBC名称");
  const std::string user = TrimmedGbk(edUser, "登录标识号");
  const std::string pass = TrimmedGbk(edPass, "密码");
  const std::string parent = "SOFTWARE\\Quorvant";
  const std::string key = Key();
  for (const std::string& k : {parent, key}) {
    if (!registry_.KeyExists(k) && !registry_.OpenKeyForWrite(k, true)) {
      throw db::RegistryError(text::Gbk("无法创建注册表项 HKEY_LOCAL_MACHINE\\") + k);
    }
  }
  if (registry_.OpenKeyForWrite(key, true)) {
    registry_.WriteString(key, "ODBCNAME", odbc);
    registry_.WriteString(key, "USERNAME", text::EncodeParam(user));
    registry_.WriteString(key, "PASSWORD", text::EncodeParam(pass));
  } else {
    ShowInformationBox(this, U("保存您配置的参数失败！只有具有权限的用户，如Administrator才能修改，"
                               "请与系统管理员联系！"));
  }
}

void TDbPara::btExitClick() {
  close();
}

}  // namespace app
