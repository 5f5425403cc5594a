// The about window and the holder of the program's version strings.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;
class QTextBrowser;

namespace pellix_usb_encoder {

// Owns the program's version resource strings; never shown.
class version {
 public:
  // "Version" gives "3.1", "Part_Number" gives "Ovitone"; any other name an empty string.
  static QString GetString(const QString& name);
};

class about : public QDialog {
  Q_OBJECT

 public:
  explicit about(QWidget* parent = nullptr);

  QLabel* pictureBox1 = nullptr;
  QLabel* label1 = nullptr;
  QLabel* versionLbl = nullptr;
  QLabel* label3 = nullptr;
  QLabel* partNoLbl = nullptr;
  QTextBrowser* richTextBox1 = nullptr;
  QPushButton* button2 = nullptr;

  static QString versionNo;
  static QString partNo;

 public slots:
  void about_Load();
  void button2_Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  bool loaded_ = false;
};

}  // namespace pellix_usb_encoder
