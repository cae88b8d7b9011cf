#include "app/qt/flash.h"

#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>

#include "app/core/layout.h"
#include "app/core/start_mess.h"
#include "app/qt/look.h"

namespace app {

TFlash::TFlash(QWidget* parent) : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
  const layout::Form& form = layout::kFlash;
  setObjectName(form.name);
  setWindowTitle(U(form.caption));
  setFont(SongTi());
  BuildForm(this, form);
  Image1 = Child<QLabel>(this, "Image1");
  lbView = Child<QLabel>(this, "lbView");
  Label1 = Child<QLabel>(this, "Label1");
  Image2 = Child<QLabel>(this, "Image2");
  Image1->setPixmap(QPixmap::fromImage(SplashBackground(Image1->width(), Image1->height())));
  Image2->setPixmap(QPixmap::fromImage(SplashIcon(32)));

  FixAndCentre(this, form.client_width, form.client_height);
  FormCreate();
}

void TFlash::FormCreate() {
  lbView->setText(U(StartMess));
  // The message may be longer than the stored width; it is never cut short.
  const layout::Control& stored = layout::Find(layout::kFlash, "lbView");
  lbView->resize(std::max(stored.width, lbView->sizeHint().width()), stored.height);
}

QImage SplashBackground(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  QLinearGradient sky(0, 0, 0, height);
  sky.setColorAt(0.0, QColor(18, 42, 92));
  sky.setColorAt(0.65, QColor(34, 88, 150));
  sky.setColorAt(1.0, QColor(12, 30, 66));
  p.fillRect(image.rect(), sky);

  // A shelf of book spines along the lower part, behind the message.
  const QColor spines[] = {QColor(178, 54, 48),  QColor(214, 160, 52), QColor(58, 128, 84),
                           QColor(112, 72, 140), QColor(196, 110, 40), QColor(70, 110, 170)};
  const int shelf = height - 66;
  int x = 14;
  for (int i = 0; x < width - 14; ++i) {
    const int w = 12 + (i * 7) % 11;
    const int h = 46 + (i * 13) % 28;
    QColor c = spines[i % 6];
    p.fillRect(x, shelf - h, w, h, c);
    p.fillRect(x + 2, shelf - h + 8, w - 4, 2, c.lighter(150));
    p.fillRect(x + 2, shelf - 12, w - 4, 2, c.lighter(150));
    x += w + 2;
  }
  p.fillRect(8, shelf, width - 16, 5, QColor(120, 84, 52));
  p.fillRect(0, shelf + 5, width, height - shelf - 5, QColor(10, 24, 52, 220));

  // An open book in the upper left.
  p.setPen(QPen(QColor(235, 228, 210), 2));
  p.setBrush(QColor(250, 246, 232));
  QPainterPath left, right;
  left.moveTo(40, 40);
  left.cubicTo(60, 30, 85, 32, 100, 44);
  left.lineTo(100, 94);
  left.cubicTo(85, 82, 60, 80, 40, 90);
  left.closeSubpath();
  right.moveTo(160, 40);
  right.cubicTo(140, 30, 115, 32, 100, 44);
  right.lineTo(100, 94);
  right.cubicTo(115, 82, 140, 80, 160, 90);
  right.closeSubpath();
  p.drawPath(left);
  p.drawPath(right);
  p.setPen(QPen(QColor(150, 150, 170), 1));
  for (int i = 0; i < 4; ++i) {
    p.drawLine(50, 52 + i * 9, 92, 56 + i * 9);
    p.drawLine(108, 56 + i * 9, 150, 52 + i * 9);
  }
  return image;
}

QImage SplashIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size / 32.0;
  p.scale(s, s);
  // A closed book with an arrow pointing up: the upgrade of the library.
  p.setPen(QPen(QColor(90, 20, 20), 1));
  p.setBrush(QColor(200, 50, 40));
  p.drawRoundedRect(QRectF(5, 3, 20, 26), 2, 2);
  p.setBrush(QColor(245, 240, 225));
  p.drawRect(QRectF(8, 25, 17, 3));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 214, 64));
  QPolygonF arrow;
  arrow << QPointF(15, 7) << QPointF(21, 14) << QPointF(17.5, 14) << QPointF(17.5, 21)
        << QPointF(12.5, 21) << QPointF(12.5, 14) << QPointF(9, 14);
  p.drawPolygon(arrow);
  return image;
}

}  // namespace app
