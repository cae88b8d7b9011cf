#include "app/up_lib_main.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
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

// Thrown by ProcessMessages once a close during the run has been confirmed.
// It leaves the step like any error, so the step's unit of work is rolled
// back, and btDoWorkClick then closes the window without the error box. It is
// no std::exception and no db::Error, so that no trap a step keeps for its
// own errors takes it for one.
struct RunAbandoned {};

const char* const kLeaveQuestion =
    "升级正在进行。现在退出将撤销正在进行的这一步（已完成的步骤保留）。确定要退出吗？";

// X11 keysyms, the native virtual key Qt reports on X11 and Wayland.
constexpr quint32 kXkF1 = 0xFFBE;
constexpr quint32 kXkF2 = 0xFFBF;
constexpr quint32 kXf86SwitchVt1 = 0x1008FE01;
constexpr quint32 kXf86SwitchVt2 = 0x1008FE02;

// 0 for F1, 1 for F2, -1 for any other key.
int ChordKey(const QKeyEvent& key) {
  if (key.key() == Qt::Key_F1) return 0;
  if (key.key() == Qt::Key_F2) return 1;
  switch (key.nativeVirtualKey()) {
    case kXkF1:
    case kXf86SwitchVt1:
      return 0;
    case kXkF2:
    case kXf86SwitchVt2:
      return 1;
    default:
      return -1;
  }
}

bool IsModifierKey(int key) {
  switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
      return true;
    default:
      return false;
  }
}

bool ExactlyCtrlAlt(Qt::KeyboardModifiers shift) {
  return (shift & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) ==
         (Qt::ControlModifier | Qt::AltModifier);
}

// Shows or hides w; true when that changed anything.
bool ShowAs(QWidget* w, bool visible) {
  if (w->isHidden() != visible) return false;
  w->setVisible(visible);
  return true;
}
bool EnableAs(QWidget* w, bool enabled) {
  if (w->isEnabled() == enabled) return false;
  w->setEnabled(enabled);
  return true;
}
bool TickAs(QCheckBox* box, bool checked) {
  if (box->isChecked() == checked) return false;
  box->setChecked(checked);
  return true;
}

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

TUpLibMain::TUpLibMain(db::Connection& LibDB, std::vector<std::filesystem::path> data_dirs,
                       QWidget* parent)
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
  lbNum->setFont(font());
  PlaceNum();
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
  core_ = std::make_unique<steps::Upgrader>(LibDB, *this, std::move(data_dirs));
}

TUpLibMain::~TUpLibMain() = default;

void TUpLibMain::btDoWorkClick() {
  running_ = true;
  abandon_ = false;
  try {
    core_->RunSequence();
  } catch (const RunAbandoned&) {
    running_ = false;
    Leave();
    return;
  } catch (const std::exception& e) {
    running_ = false;
    ShowErrorBox(this, e);
    return;
  }
  running_ = false;
  if (abandon_) Leave();  // confirmed after the last pump of the run
}

void TUpLibMain::Leave() {
  leaving_ = true;
  close();  // the main window: the program ends
}

void TUpLibMain::closeEvent(QCloseEvent* event) {
  if (!running_ || leaving_) {
    QWidget::closeEvent(event);
    return;
  }
  event->ignore();
  if (asking_ || abandon_) return;
  asking_ = true;
  const bool leave = AskYesNo(this, U(kLeaveQuestion));
  asking_ = false;
  if (leave && running_) abandon_ = true;
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

// A key event reaches the preview once for the control it is sent to and
// again for each parent it is passed on to; both handlers give the same
// result when they see an event twice.
void TUpLibMain::FormKeyDown(const QKeyEvent& key) {
  const bool chord = ExactlyCtrlAlt(key.modifiers());
  if (IsModifierKey(key.key())) {
    if (chord) chord_held_ = true;
    return;
  }
  chord_held_ = false;
  const int f = ChordKey(key);
  if (f < 0) return;
  chord_key_down_[f] = true;
  if (chord) Reveal(f);
}

void TUpLibMain::FormKeyUp(const QKeyEvent& key) {
  const bool chord = ExactlyCtrlAlt(key.modifiers());
  if (IsModifierKey(key.key())) {
    if (chord) chord_held_ = true;
    return;
  }
  const int f = ChordKey(key);
  if (f < 0) return;
  if (chord || (!chord_key_down_[f] && chord_held_)) Reveal(f);
  chord_key_down_[f] = false;
  chord_held_ = false;
}

void TUpLibMain::Reveal(int chord_key) {
  Changed(ShowAs(chord_key == 0 ? static_cast<QWidget*>(ckbDel) : btCrtPrt, true));
}

bool TUpLibMain::eventFilter(QObject* watched, QEvent* event) {
  if (PressFocusedButton(watched, event)) return true;
  if (event->type() == QEvent::KeyPress) FormKeyDown(*static_cast<QKeyEvent*>(event));
  if (event->type() == QEvent::KeyRelease) FormKeyUp(*static_cast<QKeyEvent*>(event));
  return QWidget::eventFilter(watched, event);  // the key is not consumed
}

void TUpLibMain::SetProcessText(std::string_view gbk) {
  const QString text = FromGbk(gbk);
  if (text == lbProcess->text()) return;
  lbProcess->setText(text);
  lbProcess->adjustSize();
  Changed(true);
}

void TUpLibMain::SetProcessVisible(bool visible) {
  Changed(ShowAs(lbProcess, visible));
}
void TUpLibMain::SetBarVisible(bool visible) {
  Changed(ShowAs(pBar, visible));
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

// Wide enough for its text from the start: a stand-in font wider than SimSun
// would clip "000" in the stored 18 pixels.
void TUpLibMain::PlaceNum() {
  const int width = std::max(18, lbNum->sizeHint().width());
  lbNum->setGeometry(kNumRight - width, 200, width, std::max(12, lbNum->sizeHint().height()));
}

void TUpLibMain::SetNumText(std::string_view gbk) {
  lbNum->setText(FromGbk(gbk));
  PlaceNum();
  if (FrameDue(num_clock_)) {
    lbNum->repaint();
  } else {
    lbNum->update();
  }
}

void TUpLibMain::SetNumVisible(bool visible) {
  Changed(ShowAs(lbNum, visible));
}
bool TUpLibMain::BeforeChecked() const {
  return cbBefore->isChecked();
}
void TUpLibMain::SetBeforeChecked(bool checked) {
  Changed(TickAs(cbBefore, checked));
}
bool TUpLibMain::DeleteOldChecked() const {
  return ckbDel->isChecked();
}
void TUpLibMain::SetDeleteOldChecked(bool checked) {
  Changed(TickAs(ckbDel, checked));
}
bool TUpLibMain::BackUpChecked() const {
  return cbBackUp->isChecked();
}
void TUpLibMain::SetDoWorkEnabled(bool enabled) {
  Changed(EnableAs(btDoWork, enabled));
}
void TUpLibMain::SetExitEnabled(bool enabled) {
  Changed(EnableAs(btExit, enabled));
}
void TUpLibMain::SetBackUpEnabled(bool enabled) {
  Changed(EnableAs(cbBackUp, enabled));
}

void TUpLibMain::PaintNow() {
  changed_ = false;
  paint_clock_.restart();
  repaint();
}

void TUpLibMain::Repaint() {
  if (changed_ || FrameDue(paint_clock_)) {
    PaintNow();
  } else {
    update();
  }
}

void TUpLibMain::ProcessMessages() {
  if (changed_) PaintNow();
  if (FrameDue(pump_clock_)) QCoreApplication::processEvents();
  if (abandon_) throw RunAbandoned{};
}

void TUpLibMain::ShowInformation(std::string_view gbk) {
  ShowInformationBox(this, FromGbk(gbk));
}

}  // namespace app
