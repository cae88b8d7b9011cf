#include "app/qt/up_lib_main.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "app/core/layout.h"
#include "app/qt/look.h"
#include "text/gbk.h"

namespace app {

namespace {

QString FromGbk(std::string_view gbk) {
  return QString::fromStdString(text::Utf8(gbk));
}

// X11 keysyms, the native virtual key Qt reports on X11 and Wayland.
constexpr quint32 kXkF1 = 0xFFBE;
constexpr quint32 kXkF2 = 0xFFBF;
constexpr quint32 kXf86SwitchVt1 = 0x1008FE01;
constexpr quint32 kXf86SwitchVt2 = 0x1008FE02;

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

}  // namespace

TUpLibMain::TUpLibMain(db::Connection& LibDB, std::vector<std::filesystem::path> data_dirs,
                       QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  const layout::Form& form = layout::kUpLibMain;
  setObjectName(form.name);
  setWindowTitle(U(form.caption));
  setFont(SongTi());
  BuildForm(this, form);
  for (auto [label, name] : {std::pair{&Label1, "Label1"},
                             {&Label2, "Label2"},
                             {&Label3, "Label3"},
                             {&Label4, "Label4"},
                             {&Label5, "Label5"},
                             {&Label6, "Label6"},
                             {&Label7, "Label7"},
                             {&Label8, "Label8"},
                             {&lbProcess, "lbProcess"},
                             {&lbNum, "lbNum"}})
    *label = Child<QLabel>(this, name);
  Bevel2 = Child<QFrame>(this, "Bevel2");
  pBar = Child<QProgressBar>(this, "pBar");
  cbBefore = Child<QCheckBox>(this, "cbBefore");
  cbBackUp = Child<QCheckBox>(this, "cbBackUp");
  ckbDel = Child<QCheckBox>(this, "ckbDel");
  btDoWork = Child<QPushButton>(this, "btDoWork");
  btExit = Child<QPushButton>(this, "btExit");
  btCrtPrt = Child<QPushButton>(this, "btCrtPrt");
  btExpZZM = Child<QPushButton>(this, "btExpZZM");

  connect(btDoWork, &QPushButton::clicked, this, &TUpLibMain::btDoWorkClick);
  connect(cbBackUp, &QCheckBox::toggled, this, &TUpLibMain::cbBackUpClick);
  connect(btExit, &QPushButton::clicked, this, &TUpLibMain::btExitClick);
  connect(btCrtPrt, &QPushButton::clicked, this, &TUpLibMain::btCrtPrtClick);
  connect(btExpZZM, &QPushButton::clicked, this, &TUpLibMain::btExpZZMClick);

  PreviewKeys(this);

  FixAndCentre(this, form.client_width, form.client_height);
  core_ = std::make_unique<UpLibMainCore>(LibDB, *this, std::move(data_dirs));
}

TUpLibMain::~TUpLibMain() = default;

void TUpLibMain::CloseWindow() {
  close();
}

void TUpLibMain::closeEvent(QCloseEvent* event) {
  if (core_->CloseQuery()) {
    QWidget::closeEvent(event);
  } else {
    event->ignore();
  }
}

ChordKeyEvent TUpLibMain::ChordKey(const QKeyEvent& key) {
  ChordKeyEvent k{ChordKeyEvent::kOther};
  if (IsModifierKey(key.key())) {
    k.key = ChordKeyEvent::kModifier;
  } else if (key.key() == Qt::Key_F1) {
    k.key = ChordKeyEvent::kF1;
  } else if (key.key() == Qt::Key_F2) {
    k.key = ChordKeyEvent::kF2;
  } else {
    switch (key.nativeVirtualKey()) {
      case kXkF1:
      case kXf86SwitchVt1:
        k.key = ChordKeyEvent::kF1;
        break;
      case kXkF2:
      case kXf86SwitchVt2:
        k.key = ChordKeyEvent::kF2;
        break;
      default:
        break;
    }
  }
  const Qt::KeyboardModifiers m = key.modifiers();
  k.ctrl = m & Qt::ControlModifier;
  k.alt = m & Qt::AltModifier;
  k.shift = m & Qt::ShiftModifier;
  k.meta = m & Qt::MetaModifier;
  return k;
}

void TUpLibMain::Reveal(HiddenControl control) {
  Changed(
      ShowAs(control == HiddenControl::kCkbDel ? static_cast<QWidget*>(ckbDel) : btCrtPrt, true));
}

bool TUpLibMain::AskYesNo(std::string_view utf8) {
  return app::AskYesNo(this, U(utf8));
}

void TUpLibMain::ShowError(std::string_view utf8) {
  ShowErrorBox(this, U(utf8));
}

// A key event reaches the preview once for the control it is sent to and
// again for each parent it is passed on to; the core's chords give the same
// result when they see an event twice.
bool TUpLibMain::eventFilter(QObject* watched, QEvent* event) {
  if (PressFocusedButton(watched, event)) return true;
  if (event->type() == QEvent::KeyPress)
    core_->FormKeyDown(ChordKey(*static_cast<QKeyEvent*>(event)));
  if (event->type() == QEvent::KeyRelease)
    core_->FormKeyUp(ChordKey(*static_cast<QKeyEvent*>(event)));
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
  const layout::Control& stored = layout::Find(layout::kUpLibMain, "lbNum");
  const int width = std::max(stored.width, lbNum->sizeHint().width());
  lbNum->setGeometry(layout::kNumRight - width, stored.top, width,
                     std::max(stored.height, lbNum->sizeHint().height()));
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
}

void TUpLibMain::ShowInformation(std::string_view gbk) {
  ShowInformationBox(this, FromGbk(gbk));
}

}  // namespace app
