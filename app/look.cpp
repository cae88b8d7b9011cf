#include "app/look.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStringDecoder>
#include <QTranslator>
#include <QWidget>
#include <cstring>

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

void SetTextColour(QWidget* w, const QColor& colour) {
  QPalette p = w->palette();
  p.setColor(QPalette::WindowText, colour);
  p.setColor(QPalette::Text, colour);
  p.setColor(QPalette::ButtonText, colour);
  w->setPalette(p);
}

QLabel* MakeLabel(QWidget* parent, const char* name, int left, int top, const QString& caption,
                  const QColor& colour) {
  auto* label = new QLabel(caption, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setFont(parent->font());
  SetTextColour(label, colour);
  label->move(left, top);
  label->adjustSize();
  return label;
}

void Centre(QWidget* window) {
  QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  window->move(area.center().x() - window->width() / 2, area.center().y() - window->height() / 2);
}

void SetTabOrder(std::initializer_list<QWidget*> controls) {
  QWidget* previous = nullptr;
  for (QWidget* w : controls) {
    if (previous) QWidget::setTabOrder(previous, w);
    previous = w;
  }
  // Left to itself Qt would start on the first control created, wherever
  // it stands in the tab order.
  for (QWidget* w : controls) {
    if (w->isEnabled() && !w->isHidden() && (w->focusPolicy() & Qt::TabFocus)) {
      w->setFocus(Qt::OtherFocusReason);
      break;
    }
  }
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

void ShowInformationBox(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Information, QString::fromUtf8("提示信息"), text, QMessageBox::Ok,
                  parent);
  box.setFont(SongTi());
  box.exec();
}

bool AskYesNo(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Question, QString::fromUtf8("提示信息"), text,
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  box.setFont(SongTi());
  return box.exec() == QMessageBox::Yes;
}

void ShowErrorBox(QWidget* parent, const std::exception& error) {
  QMessageBox box(QMessageBox::Critical, QGuiApplication::applicationDisplayName(),
                  ErrorText(error.what()), QMessageBox::Ok, parent);
  box.setFont(SongTi());
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
  const QByteArray bytes(what, static_cast<qsizetype>(std::strlen(what)));
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = utf8.decode(bytes);
  if (!utf8.hasError()) return decoded;
  return QString::fromStdString(text::Utf8(std::string_view(what)));
}

}  // namespace app
