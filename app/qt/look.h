// What every window of the program shares: the fixed "宋体" fonts, the label
// colours, placing a fixed-size window in the middle of the screen, and the two
// kinds of message box (the "提示信息" information box and the error box that
// reports an error nobody below the window caught).
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>
#include <exception>
#include <initializer_list>
#include <string_view>

#include "app/core/layout.h"

class QEvent;
class QLabel;
class QObject;

namespace app {

// "宋体" at the given pixel height. Where SimSun is not installed the system's
// CJK font stands in (registered once as a substitution of "宋体").
QFont SongTi(int pixels = 12);

// Builds the controls of form on window (the window's own size and caption
// are left to the caller), each named after its entry, then sets the tab
// order and starts the focus on its first control that can take it.
void BuildForm(QWidget* window, const layout::Form& form);
// The control of window named name, built by BuildForm.
template <class T>
T* Child(QWidget* window, const char* name) {
  return window->findChild<T*>(QString::fromLatin1(name));
}
// The colour of the layout's table.
QColor Colour(std::uint32_t rgb);
// UTF-8 to QString.
QString U(std::string_view utf8);
// text with no line break allowed after a path separator, so that a path in
// a wrapped message is never split mid-name (a word joiner follows each "/"
// and "\\" that is followed by more of the path).
QString Unbroken(const QString& text);

void SetTextColour(QWidget* w, const QColor& colour);

// Enter or Return (without Ctrl, Alt or Shift) pressed on a focused, enabled
// push button presses it, as on the platform the program comes from; true
// when it did, and the key is then used up. Windows call it from their key
// preview before anything else looks at the key.
bool PressFocusedButton(QObject* watched, QEvent* event);
// Key preview: window's event filter sees every key event before the focused
// control does (the filter is installed on the window and all its children).
void PreviewKeys(QWidget* window);

// Gives a top-level window its fixed client size and centres it on the screen.
void FixAndCentre(QWidget* window, int width, int height);
void Centre(QWidget* window);

// The modal "提示信息" box with an information icon and an OK button; returns
// when it is dismissed.
void ShowInformationBox(QWidget* parent, const QString& text);

// A modal "提示信息" question with Yes and No, No the default (Escape too);
// true for Yes.
bool AskYesNo(QWidget* parent, const QString& text);

// The error box for an error that reached the top of a handler: the error's
// own text, the "提示信息" caption, an error icon.
void ShowErrorBox(QWidget* parent, const std::exception& error);
void ShowErrorBox(QWidget* parent, const QString& text);

// Qt's own texts (the buttons of the message boxes, an edit box's menu) in
// Simplified Chinese whatever the system's locale: loads qtbase_zh_CN from
// Qt's translations folder (Debian package qt6-translations-l10n). The
// application object must exist; false when the translation is not there,
// and the program then goes on with Qt's English texts.
bool InstallQtChinese();

// An error's text for a person: messages from the database and the data files
// are GBK, the program's own are UTF-8; text that is valid UTF-8 is taken as it
// is, anything else is read as GBK.
QString ErrorText(const char* what);

}  // namespace app
