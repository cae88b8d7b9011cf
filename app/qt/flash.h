// TFlash: the borderless splash window, in Qt widgets, that tells the
// librarian the database connection is being made. The data module
// (app/core/startup.h) creates it just before the blocking connection attempt
// and destroys it once the attempt is over.
#pragma once

#include <QImage>
#include <QWidget>

#include "app/core/startup.h"

class QLabel;

namespace app {

class TFlash : public QWidget, public Splash {
  Q_OBJECT

 public:
  // Shows the current StartMess in lbView (the creation handler). Top-level.
  explicit TFlash(QWidget* parent = nullptr);

  QLabel* Image1;  // background picture, 307 x 207
  QLabel* lbView;  // the message
  QLabel* Label1;  // "Quorvant"
  QLabel* Image2;  // 32 x 32 icon

 private:
  void FormCreate();
};

// The splash pictures, drawn by the program itself.
QImage SplashBackground(int width, int height);
QImage SplashIcon(int size);

}  // namespace app
