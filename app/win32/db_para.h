// TDbPara: the connection-parameter dialog as a native window, a thin layer
// over the toolkit-free DbParaCore (app/core/db_para.h).
#pragma once

#include <memory>

#include "app/core/db_para.h"
#include "app/win32/form.h"
#include "db/registry.h"

namespace app::win {

class TDbPara : public Form, public DbParaView {
 public:
  // Fills the caption and the three edit boxes from the registry; a stored
  // value that does not decode is reported in the error box once the window
  // is up (Show).
  explicit TDbPara(const db::Registry& registry);

  void ShowAndReport();

  // DbParaView
  void SetCaption(std::string_view utf8) override;
  std::string EditText(ParamEdit edit) const override;
  void SetEditText(ParamEdit edit, std::string_view utf8) override;
  void ShowGroup() override;
  void ShowCause(std::string_view utf8) override;
  void ShowInformation(std::string_view utf8) override;
  void ShowError(std::string_view utf8) override;
  void CloseWindow() override;

  // Enter on a button presses it; on any other control it moves the focus on.
  bool PreviewKey(const MSG& msg) override;

 protected:
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp) override;
  void Clicked(const std::string& name) override;

 private:
  HWND Edit(ParamEdit edit) const;

  std::unique_ptr<DbParaCore> core_;
  std::string create_error_;
  HWND cause_ = nullptr;  // the connection failure's own message, if any
  int cause_height_ = 0;  // what it adds to the window's height (pixels)
};

}  // namespace app::win
