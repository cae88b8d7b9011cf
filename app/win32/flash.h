// TFlash: the borderless splash window that tells the librarian the database
// connection is being made. It paints its picture, its texts and the icon
// itself, at the places of the stored layout.
#pragma once

#include "app/core/startup.h"
#include "app/win32/form.h"

namespace app::win {

class TFlash : public Form, public Splash {
 public:
  // Shows the current StartMess in lbView; the window is shown and painted
  // at once (nothing pumps the message queue while the connection blocks).
  TFlash();

 protected:
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void Paint(HDC dc);
  std::wstring message_;
};

}  // namespace app::win
