// The splash window shown while the program starts.
#pragma once

#include <QWidget>

class QLabel;
class QTimer;

namespace pellix_usb_encoder {

class orvane_splash_form : public QWidget {
  Q_OBJECT

 public:
  orvane_splash_form();

  QLabel* pictureBox1 = nullptr;
  QTimer* timer1 = nullptr;  // closes the window 3000 ms after it was created

 public slots:
  void timer1_Tick();
};

}  // namespace pellix_usb_encoder
