#include "app/splash.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

namespace pellix_usb_encoder {

orvane_splash_form::orvane_splash_form() {
  // A tool window with a thin title bar and no buttons, centred on the screen.
  setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setFixedSize(722, 415);
  // The picture leaves a strip at the bottom uncovered; give it the picture's own
  // dark blue so that the strip reads as part of it.
  QPalette dark = palette();
  dark.setColor(QPalette::Window, QColor(0x0A, 0x12, 0x1E));
  setPalette(dark);
  setAutoFillBackground(true);
  pictureBox1 = new QLabel(this);
  pictureBox1->setGeometry(-2, -26, 725, 430);
  pictureBox1->setScaledContents(true);
  pictureBox1->setPixmap(QPixmap(QStringLiteral(":/splash.png")));
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  timer1 = new QTimer(this);
  timer1->setInterval(3000);
  timer1->setSingleShot(true);
  connect(timer1, &QTimer::timeout, this, &orvane_splash_form::timer1_Tick);
  timer1->start();
}

void orvane_splash_form::timer1_Tick() { close(); }

}  // namespace pellix_usb_encoder
