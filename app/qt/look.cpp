#include "app/qt/look.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTranslator>
#include <QWidget>
#include <algorithm>
#include <cstring>
#include <vector>

#include "app/core/error_text.h"
#include "app/core/texts.h"
#include "text/gbk.h"

namespace app {

namespace {

const char* const kSongTi = "宋体";

void RegisterSongTiSubstitutes() {
  static const bool done = [] {
    QFont::insertSubstitutions(QString::fromUtf8(kSongTi),
                               {"SimSun", "NSimSun", "WenQuanYi Micro Hei", "Noto Sans CJK SC",
                                "Noto Serif CJK SC", "AR PL UMing CN"});
    return true;
  }();
  (void)done;
}

}  // namespace

QFont SongTi(int pixels) {
  RegisterSongTiSubstitutes();
  QFont font(QString::fromUtf8(kSongTi));
  font.setPixelSize(pixels);
  return font;
}

QString U(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QString Unbroken(const QString& text) {
  QString out;
  out.reserve(text.size() + 8);
  for (qsizetype i = 0; i < text.size(); ++i) {
    out += text[i];
    const bool separator = text[i] == u'/' || text[i] == u'\\';
    if (separator && i + 1 < text.size() && !text[i + 1].isSpace()) out += QChar(0x2060);
  }
  return out;
}

QColor Colour(std::uint32_t rgb) {
  if (rgb == layout::kWindowText) return QApplication::palette().color(QPalette::WindowText);
  return QColor::fromRgb(rgb);
}

namespace {

QLabel* BuildLabel(const layout::Control& c, QWidget* parent) {
  auto* label = new QLabel(U(c.caption), parent);
  QFont font = SongTi(c.font_px);
  font.setBold(c.bold);
  font.setUnderline(c.underline);
  label->setFont(font);
  if (c.colour != layout::kWindowText) SetTextColour(label, Colour(c.colour));
  const QSize hint = label->sizeHint();
  if (c.right_aligned) {
    // Keeps the right edge the caption has in SimSun, growing to the left in
    // a wider stand-in font.
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const int stored = c.width ? c.width : layout::SongTiWidth(c.caption, c.font_px);
    const int right = c.left + stored;
    const int width = std::max(stored, hint.width());
    label->setGeometry(right - width, c.top, width, std::max(c.height, hint.height()));
  } else if (c.width) {
    // A stored size: never narrower than the caption.
    label->setGeometry(c.left, c.top, std::max(c.width, hint.width()), c.height);
  } else {
    label->move(c.left, c.top);
    label->adjustSize();
  }
  return label;
}

QWidget* BuildControl(const layout::Control& c, QWidget* parent) {
  const QRect rect(c.left, c.top, c.width, c.height);
  QWidget* w = nullptr;
  switch (c.kind) {
    case layout::Kind::kLabel:
      w = BuildLabel(c, parent);
      break;
    case layout::Kind::kButton:
      w = new QPushButton(U(c.caption), parent);
      w->setGeometry(rect);
      break;
    case layout::Kind::kCheckBox:
      w = new QCheckBox(U(c.caption), parent);
      w->setGeometry(rect);
      break;
    case layout::Kind::kEdit: {
      auto* edit = new QLineEdit(parent);
      if (c.masked) {
        edit->setEchoMode(QLineEdit::Password);
        edit->setStyleSheet("lineedit-password-character: 42");  // '*'
      }
      w = edit;
      w->setGeometry(rect);
      break;
    }
    case layout::Kind::kProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setRange(0, 100);
      bar->setValue(0);
      bar->setTextVisible(false);
      w = bar;
      w->setGeometry(rect);
      break;
    }
    case layout::Kind::kBevel: {
      auto* frame = new QFrame(parent);
      frame->setFrameShape(QFrame::HLine);
      frame->setFrameShadow(QFrame::Sunken);
      w = frame;
      w->setGeometry(rect);
      break;
    }
    case layout::Kind::kGroup:
      w = new QGroupBox(parent);
      w->setGeometry(rect);
      break;
    case layout::Kind::kPicture:
      w = new QLabel(parent);
      w->setGeometry(rect);
      break;
  }
  w->setObjectName(QString::fromLatin1(c.name));
  if (!c.enabled) w->setEnabled(false);
  if (!c.visible) w->hide();
  return w;
}

}  // namespace

void BuildForm(QWidget* window, const layout::Form& form) {
  for (const layout::Control& c : form.controls) {
    QWidget* parent = c.parent ? Child<QWidget>(window, c.parent) : window;
    BuildControl(c, parent);
  }
  if (form.tab_order.empty()) return;
  QWidget* previous = nullptr;
  for (const char* name : form.tab_order) {
    QWidget* w = Child<QWidget>(window, name);
    if (previous) QWidget::setTabOrder(previous, w);
    previous = w;
  }
  // Left to itself Qt would start on the first control created, wherever
  // it stands in the tab order.
  for (const char* name : form.tab_order) {
    QWidget* w = Child<QWidget>(window, name);
    if (w->isEnabled() && !w->isHidden() && (w->focusPolicy() & Qt::TabFocus)) {
      w->setFocus(Qt::OtherFocusReason);
      break;
    }
  }
}

void SetTextColour(QWidget* w, const QColor& colour) {
  QPalette p = w->palette();
  p.setColor(QPalette::WindowText, colour);
  p.setColor(QPalette::Text, colour);
  p.setColor(QPalette::ButtonText, colour);
  w->setPalette(p);
}

void Centre(QWidget* window) {
  QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  window->move(area.center().x() - window->width() / 2, area.center().y() - window->height() / 2);
}

bool PressFocusedButton(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  const auto* key = static_cast<QKeyEvent*>(event);
  if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
  if (key->isAutoRepeat()) return false;
  if (key->modifiers() & ~Qt::KeyboardModifiers(Qt::KeypadModifier)) return false;
  auto* button = qobject_cast<QPushButton*>(watched);
  if (!button || !button->hasFocus() || !button->isEnabled() || !button->isVisible()) return false;
  button->click();
  return true;
}

void PreviewKeys(QWidget* window) {
  window->installEventFilter(window);
  for (QWidget* child : window->findChildren<QWidget*>()) child->installEventFilter(window);
}

void FixAndCentre(QWidget* window, int width, int height) {
  window->setFixedSize(width, height);
  Centre(window);
}

namespace {

// On an X server a top-level window of the program that lies wholly inside
// another of its top-level windows never reaches the screen: Qt paints it and
// sends its pixels (the window itself holds them, as its own image shows), yet
// the screen stays black there until the window is moved past the other's
// edge; a window that reaches beyond that edge is drawn. It has nothing to do
// with what the upgrade window paints during a run: a box shown from an idle
// window, and any plain Qt window in the same place, stay black as well. The
// short boxes ("所有处理已完成！") are centred on the window and would lie inside
// it, so every box is made wider than the window it belongs to.
void Prepare(QMessageBox& box, QWidget* parent) {
  box.setFont(SongTi());
  if (!parent) return;
  const int label = parent->window()->frameGeometry().width();
  box.setStyleSheet(QStringLiteral("QLabel#qt_msgbox_label { min-width: %1px; }").arg(label));
}

}  // namespace

void ShowInformationBox(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Information, U(texts::kInformationCaption), Unbroken(text),
                  QMessageBox::Ok, parent);
  Prepare(box, parent);
  box.exec();
}

bool AskYesNo(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Question, U(texts::kInformationCaption), text,
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  Prepare(box, parent);
  return box.exec() == QMessageBox::Yes;
}

void ShowErrorBox(QWidget* parent, const std::exception& error) {
  ShowErrorBox(parent, ErrorText(error.what()));
}

void ShowErrorBox(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Critical, U(texts::kErrorCaption), Unbroken(text), QMessageBox::Ok,
                  parent);
  Prepare(box, parent);
  box.exec();
}

bool InstallQtChinese() {
  static QTranslator* installed = nullptr;
  if (installed) return true;
  auto* translator = new QTranslator(QCoreApplication::instance());
  if (!translator->load(QStringLiteral("qtbase_zh_CN"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  QCoreApplication::installTranslator(translator);
  installed = translator;
  return true;
}

QString ErrorText(const char* what) {
  return U(ErrorTextUtf8(what));
}

}  // namespace app
