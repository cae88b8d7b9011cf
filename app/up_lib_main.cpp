#include "app/up_lib_main.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "app/look.h"
#include "text/gbk.h"

namespace app {

namespace {

const QColor kRed(0xFF, 0x00, 0x00);
const QColor kBlue(0x00, 0x00, 0xFF);

QString U(const char* utf8) {
  return QString::fromUtf8(utf8);
}
QString FromGbk(std::string_view gbk) {
  return QString::fromStdString(text::Utf8(gbk));
}

// The count label is right-aligned: it keeps its right edge and grows left.
constexpr int kNumRight = 324 + 18;

QPushButton* MakeButton(QWidget* parent, const char* name, const QRect& geometry,
                        const char* caption) {
  auto* button = new QPushButton(U(caption), parent);
  button->setObjectName(name);
  button->setGeometry(geometry);
  return button;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QRect& geometry,
                        const char* caption) {
  auto* box = new QCheckBox(U(caption), parent);
  box->setObjectName(name);
  box->setGeometry(geometry);
  return box;
}

}  // namespace

TUpLibMain::TUpLibMain(db::Connection& LibDB, std::filesystem::path data_dir, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("UpLibMain");
  setWindowTitle(U("图书管理系统升级 V6.2017.1(32位)"));
  setFont(SongTi());

  Label6 = MakeLabel(this, "Label6", 24, 16,
                     U("注意：升级后所有客户端程序必须更新，否则会产生数据不一致错误！"), kRed);
  QFont bold = SongTi();
  bold.setBold(true);
  Label6->setFont(bold);
  Label6->adjustSize();
  Label1 = MakeLabel(this, "Label1", 64, 40,
                     U("此次升级将建立一些新的表或修改一些已有的表，在使用新的程序前，"), kRed);
  Label2 = MakeLabel(this, "Label2", 64, 56,
                     U("必须先运行此程序。在运行此程序前，请先退出所有其他终端的应用"), kRed);
  Label3 = MakeLabel(this, "Label3", 64, 72,
                     U("系统。运行完成后，请更新所有其他终端的程序。此升级程序只影响"), kRed);
  Label4 = MakeLabel(this, "Label4", 64, 88, U("图书管理系统。"), kRed);
  Label5 = MakeLabel(this, "Label5", 64, 104, U("此程序可以运行多次，但不能同时在两台终端上运行。"),
                     kRed);
  Label7 = MakeLabel(this, "Label7", 52, 128,
                     U("◆处理完成后，请先运行一台终端，执行“维护->图书编目库整理”。"), kRed);
  Label8 = MakeLabel(this, "Label8", 152, 248, U("注意：运行过程中绝对不能强行终止本程序的运行！"),
                     kRed);

  Bevel2 = new QFrame(this);
  Bevel2->setObjectName("Bevel2");
  Bevel2->setFrameShape(QFrame::HLine);
  Bevel2->setFrameShadow(QFrame::Sunken);
  Bevel2->setGeometry(24, 144, 401, 2);

  lbProcess = MakeLabel(this, "lbProcess", 24, 152, U("处理："), kBlue);

  pBar = new QProgressBar(this);
  pBar->setObjectName("pBar");
  pBar->setGeometry(24, 168, 321, 14);
  pBar->setRange(0, 100);
  pBar->setValue(0);
  pBar->setTextVisible(false);
  pBar->hide();

  lbNum = new QLabel("000", this);
  lbNum->setObjectName("lbNum");
  lbNum->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  lbNum->setGeometry(324, 200, 18, 12);
  lbNum->hide();

  cbBefore =
      MakeCheckBox(this, "cbBefore", QRect(32, 188, 201, 17), "同时处理2005年3月前的升级工作");
  btDoWork = MakeButton(this, "btDoWork", QRect(24, 208, 185, 25), "开始本次系统升级");
  btDoWork->setEnabled(false);
  cbBackUp = MakeCheckBox(this, "cbBackUp", QRect(216, 210, 105, 17), "已备份好数据库");
  ckbDel = MakeCheckBox(this, "ckbDel", QRect(216, 225, 113, 17), "删除旧著者码表");
  ckbDel->hide();
  btExit = MakeButton(this, "btExit", QRect(352, 208, 75, 25), "退出");
  btCrtPrt = MakeButton(this, "btCrtPrt", QRect(352, 144, 75, 25), "生成Prt表");
  btCrtPrt->hide();
  btExpZZM = MakeButton(this, "btExpZZM", QRect(352, 168, 75, 25), "导出ZZM");
  btExpZZM->hide();

  SetTabOrder({btDoWork, btExit, btExpZZM, ckbDel, pBar, btCrtPrt, cbBefore, cbBackUp});

  connect(btDoWork, &QPushButton::clicked, this, &TUpLibMain::btDoWorkClick);
  connect(cbBackUp, &QCheckBox::toggled, this, &TUpLibMain::cbBackUpClick);
  connect(btExit, &QPushButton::clicked, this, &TUpLibMain::btExitClick);
  connect(btCrtPrt, &QPushButton::clicked, this, &TUpLibMain::btCrtPrtClick);
  connect(btExpZZM, &QPushButton::clicked, this, &TUpLibMain::btExpZZMClick);

  PreviewKeys(this);

  FixAndCentre(this, 453, 267);
  core_ = std::make_unique<steps::Upgrader>(LibDB, *this, std::move(data_dir));
}

TUpLibMain::~TUpLibMain() = default;

void TUpLibMain::btDoWorkClick() {
  running_ = true;
  try {
    core_->RunSequence();
  } catch (const std::exception& e) {
    running_ = false;
    ShowErrorBox(this, e);
    return;
  }
  running_ = false;
}

void TUpLibMain::cbBackUpClick() {
  btDoWork->setEnabled(cbBackUp->isChecked());
}

void TUpLibMain::btExitClick() {
  close();
}

void TUpLibMain::btCrtPrtClick() {
  if (running_) return;
  try {
    core_->btCrtPrtClick();
  } catch (const std::exception& e) {
    ShowErrorBox(this, e);
  }
}

void TUpLibMain::btExpZZMClick() {
  if (running_) return;
  try {
    core_->btExpZZMClick();
  } catch (const std::exception& e) {
    ShowErrorBox(this, e);
  }
}

void TUpLibMain::FormKeyUp(int key, Qt::KeyboardModifiers shift) {
  const Qt::KeyboardModifiers chord =
      shift & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  if (chord != (Qt::ControlModifier | Qt::AltModifier)) return;
  if (key == Qt::Key_F1) ckbDel->show();
  if (key == Qt::Key_F2) btCrtPrt->show();
}

bool TUpLibMain::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyRelease) {
    const auto* key = static_cast<QKeyEvent*>(event);
    FormKeyUp(key->key(), key->modifiers());
  }
  return QWidget::eventFilter(watched, event);  // the key is not consumed
}

void TUpLibMain::SetProcessText(std::string_view gbk) {
  lbProcess->setText(FromGbk(gbk));
  lbProcess->adjustSize();
}

void TUpLibMain::SetProcessVisible(bool visible) {
  lbProcess->setVisible(visible);
}
void TUpLibMain::SetBarVisible(bool visible) {
  pBar->setVisible(visible);
}
bool TUpLibMain::FrameDue(QElapsedTimer& clock) const {
  constexpr qint64 kFrameMs = 16;
  if (clock.isValid() && clock.elapsed() < kFrameMs) return false;
  clock.restart();
  return true;
}

void TUpLibMain::SetBarPosition(int position) {
  const int value = std::clamp(position, 0, 100);
  if (FrameDue(bar_clock_)) {
    pBar->setValue(value);
    return;
  }
  // QProgressBar repaints at once on every visible change; between frames it
  // takes the value and paints with the next frame instead.
  pBar->setUpdatesEnabled(false);
  pBar->setValue(value);
  pBar->setUpdatesEnabled(true);
}
int TUpLibMain::BarPosition() const {
  return pBar->value();
}

void TUpLibMain::SetNumText(std::string_view gbk) {
  lbNum->setText(FromGbk(gbk));
  const int width = std::max(18, lbNum->sizeHint().width());
  lbNum->setGeometry(kNumRight - width, 200, width, 12);
  if (FrameDue(num_clock_)) {
    lbNum->repaint();
  } else {
    lbNum->update();
  }
}

void TUpLibMain::SetNumVisible(bool visible) {
  lbNum->setVisible(visible);
}
bool TUpLibMain::BeforeChecked() const {
  return cbBefore->isChecked();
}
void TUpLibMain::SetBeforeChecked(bool checked) {
  cbBefore->setChecked(checked);
}
bool TUpLibMain::DeleteOldChecked() const {
  return ckbDel->isChecked();
}
void TUpLibMain::SetDeleteOldChecked(bool checked) {
  ckbDel->setChecked(checked);
}
bool TUpLibMain::BackUpChecked() const {
  return cbBackUp->isChecked();
}
void TUpLibMain::SetDoWorkEnabled(bool enabled) {
  btDoWork->setEnabled(enabled);
}
void TUpLibMain::SetExitEnabled(bool enabled) {
  btExit->setEnabled(enabled);
}
void TUpLibMain::SetBackUpEnabled(bool enabled) {
  cbBackUp->setEnabled(enabled);
}
void TUpLibMain::Repaint() {
  if (FrameDue(paint_clock_)) {
    repaint();
  } else {
    update();
  }
}
void TUpLibMain::ProcessMessages() {
  if (FrameDue(pump_clock_)) QCoreApplication::processEvents();
}

void TUpLibMain::ShowInformation(std::string_view gbk) {
  ShowInformationBox(this, FromGbk(gbk));
}

}  // namespace app
