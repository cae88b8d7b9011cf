// What every window of the program shares: the fixed "宋体" fonts, the label
// colours, placing a fixed-size window in the middle of the screen, and the two
// kinds of message box (the "提示信息" information box and the error box that
// reports an error nobody below the window caught).
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <exception>
#include <initializer_list>

class QEvent;
class QLabel;
class QObject;
class QWidget;

namespace app {

// "宋体" at the given pixel height. Where SimSun is not installed the system's
// CJK font stands in (registered once as a substitution of "宋体").
QFont SongTi(int pixels = 12);

// A label at (left, top) sized to its caption.
QLabel* MakeLabel(QWidget* parent, const char* name, int left, int top, const QString& caption,
                  const QColor& colour);
void SetTextColour(QWidget* w, const QColor& colour);

// Sets the tab order to the controls in the given order, and starts the
// focus on the first of them that can take it (enabled, not hidden), as the
// window opens.
void SetTabOrder(std::initializer_list<QWidget*> controls);
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
// own text, the program's name as caption, an error icon.
void ShowErrorBox(QWidget* parent, const std::exception& error);

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
