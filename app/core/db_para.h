// The rules of the connection-parameter dialog TDbPara, without any toolkit.
// Start-up makes the dialog the main window when the database cannot be
// reached. It says what to check, and lets a user with the right to write
// HKEY_LOCAL_MACHINE correct the data source name, login and password under
// SOFTWARE\Quorvant\<StartMess>. Saving or cancelling closes it, which ends the
// program; new values apply at the next start.
#pragma once

#include <string>
#include <string_view>

#include "db/registry.h"

namespace app {

enum class ParamEdit { kOdbc, kUser, kPass };

// What the dialog's window does for the rules: texts are UTF-8.
class DbParaView {
 public:
  virtual ~DbParaView() = default;
  virtual void SetCaption(std::string_view utf8) = 0;
  virtual std::string EditText(ParamEdit edit) const = 0;
  virtual void SetEditText(ParamEdit edit, std::string_view utf8) = 0;
  // Shows grbBox and sets the window's outer height (frame included) to
  // layout::kDbParaOuterHeightWithGroup.
  virtual void ShowGroup() = 0;
  // Shows the connection failure's own message below the fixed warnings
  // (the window grows to hold it; the warnings stay where they are).
  virtual void ShowCause(std::string_view utf8) = 0;
  // The modal "提示信息" information box; returns when it is dismissed.
  virtual void ShowInformation(std::string_view utf8) = 0;
  // The error box with the error's text.
  virtual void ShowError(std::string_view utf8) = 0;
  // Closes the dialog for good (the main window: the program ends).
  virtual void CloseWindow() = 0;
};

class DbParaCore {
 public:
  // registry and view must outlive the object.
  DbParaCore(const db::Registry& registry, DbParaView& view);

  // The creation handler: the caption "设置数据库【" + StartMess + "】连接参数",
  // the three edit boxes from the key (empty when it does not exist), and
  // StartError, when there is one, below the warnings.
  // A stored value that does not decode stops the filling; its error text is
  // returned (empty when all went well) for the window to show once it is
  // up. The boxes filled before it keep their values.
  std::string FormCreate();
  void btModClick();
  // Saves the trimmed values (user name and password encoded), creating the
  // missing keys, then closes. A refused key shows the permission message and
  // still closes; an error creating a key or writing a value, or a value GBK
  // cannot hold (named by its field), is shown in the error box, nothing is
  // written and the dialog stays open.
  void btOkClick();
  void btExitClick();

  // "SOFTWARE\Quorvant\" + StartMess, in GBK.
  static std::string Key();

 private:
  void Save();
  std::string TrimmedGbk(ParamEdit edit, const char* field) const;

  db::Registry registry_;
  DbParaView& view_;
};

}  // namespace app
