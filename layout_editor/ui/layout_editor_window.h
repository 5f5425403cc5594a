// The layout editor "Ovitone  Layout": gives each key of the jack module (Vol Up,
// Vol Down, Jack IN, Jack OUT) a new key usage and modifier and sends the whole table
// to the encoder with LoadKeyTable.
//
// The main window's "Customise Code Table" (Form1::button1_Click) reads the table from
// the encoder, creates the window, loads the module picture, lays the key buttons over
// it, fills the public fields below and shows the window modeless. The window takes its
// load-time copies the first time it is shown. Everything runs on the GUI thread.
//
// The key slots are numbered 7..10 (Vol Up, Vol Down, Jack IN, Jack OUT); selections
// are bit sets with bit k-1 standing for slot k.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <array>

class QComboBox;
class QLabel;
class QShowEvent;

namespace pellix_usb_encoder {

// A key button laid over the module picture: it shows its background image (the part
// of the picture under it) with its text drawn on top at the chosen alignment, in the
// palette's ButtonText colour. Without an image it looks like any other button.
class PictureButton : public QPushButton {
  Q_OBJECT

 public:
  explicit PictureButton(QWidget* parent = nullptr);

  void setBackgroundImage(const QPixmap& image);
  QPixmap backgroundImage() const { return backgroundImage_; }
  void setTextAlignment(Qt::Alignment alignment);
  Qt::Alignment textAlignment() const { return textAlignment_; }
  void setTextColour(const QColor& colour);
  QColor textColour() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap backgroundImage_;
  Qt::Alignment textAlignment_ = Qt::AlignCenter;
};

class My4way_layout : public QWidget {
  Q_OBJECT

 public:
  // The window is owned by `owner` (normally the main window) and deletes itself when
  // it closes.
  explicit My4way_layout(QWidget* owner = nullptr);
  ~My4way_layout() override;

  // Moves `button` from the window into `pictureBox` without moving it on the screen
  // and gives it the part of the picture under it as its background image.
  static void EmbedButtonInMirkelPicture(PictureButton* button, QLabel* pictureBox);

  // Per slot: the key usage (its position in the code list) and the modifier index
  // (0..8, position in the modifier list). Set by the opener before the window shows.
  int currentK7Code = 0, currentK8Code = 0, currentK9Code = 0, currentK10Code = 0;
  int currentM7Code = 0, currentM8Code = 0, currentM9Code = 0, currentM10Code = 0;
  // Per slot: a modifier byte read from the encoder that has no entry in the modifier
  // list (anything but 0x00 and 0xE0..0xE7), or -1. While set, the slot's modifier
  // button shows the byte's code label and Apply sends the byte back as it is; choosing
  // a modifier for the slot clears it. Set by the opener.
  int unlistedM7Code = -1, unlistedM8Code = -1, unlistedM9Code = -1, unlistedM10Code = -1;

  // Load-time copies (Reset returns to them).
  int originalK7Code = 0, originalK8Code = 0, originalK9Code = 0, originalK10Code = 0;
  int originalM7Code = 0, originalM8Code = 0, originalM9Code = 0, originalM10Code = 0;
  QString key7Text, key8Text, key9Text, key10Text;
  QString modifier7Text, modifier8Text, modifier9Text, modifier10Text;

  int keySelected = 0;  // bit k-1: key slot k selected
  int modSelected = 0;  // bit k-1: modifier button of slot k selected
  QColor currentMBColour;         // normal background of the modifier buttons
  QColor defaultButtonBackColor;  // normal text colour of the key buttons

  // Controls.
  QLabel* label1 = nullptr;
  QLabel* pictureBox1 = nullptr;
  PictureButton* key7Btn = nullptr;   // Vol Up
  PictureButton* key8Btn = nullptr;   // Vol Down
  PictureButton* key9Btn = nullptr;   // Jack IN
  PictureButton* key10Btn = nullptr;  // Jack OUT
  QPushButton* modifierBtn7 = nullptr;
  QPushButton* modifierBtn8 = nullptr;
  QPushButton* modifierBtn9 = nullptr;
  QPushButton* modifierBtn10 = nullptr;
  QComboBox* selectCodeCbox = nullptr;
  QComboBox* selectModifierCbox = nullptr;
  QPushButton* resetBtn = nullptr;
  QPushButton* applyBtn = nullptr;
  QPushButton* exitBtn = nullptr;

 public slots:
  void My4way_layout_Load();
  void key7Btn_Click();
  void key8Btn_Click();
  void key9Btn_Click();
  void key10Btn_Click();
  void modifierBtn7_Click();
  void modifierBtn8_Click();
  void modifierBtn9_Click();
  void modifierBtn10_Click();
  void selectCodeCbox_SelectionChangeCommitted();
  void selectModifierCbox_SelectionChangeCommitted();
  void resetBtn_Click();
  void applyBtn_Click();
  void exitBtn_Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  static constexpr int SlotCount = 4;  // slots 7..10

  // One slot's fields and buttons, so that the handlers can walk the slots in order.
  struct Slot {
    int slot;  // 7..10
    int* currentK;
    int* currentM;
    int* unlistedM;
    int* originalK;
    int* originalM;
    QString* keyText;
    QString* modifierText;
    PictureButton* keyButton;
    QPushButton* modifierButton;
  };

  void BuildControls();
  void KeyClick(int slot);
  void ModifierClick(int slot);
  // What the slot's modifier button shows for its current modifier.
  QString ModifierButtonText(const Slot& s) const;
  void SetModifierBackground(QPushButton* button, const QColor& colour);

  std::array<Slot, SlotCount> slots_{};
  std::array<int, SlotCount> originalUnlistedM_{-1, -1, -1, -1};
  bool loaded_ = false;
};

}  // namespace pellix_usb_encoder
