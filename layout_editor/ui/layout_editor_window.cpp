#include "layout_editor/ui/layout_editor_window.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

#include <cstdint>

#include "device/encoder_session.h"
#include "device/encoder_protocol.h"
#include "device/hid_transport.h"
#include "layout_editor/core/key_code_table.h"
#include "support/ui/user_interaction.h"

namespace pellix_usb_encoder {

namespace {

constexpr int ClientWidth = 584;
constexpr int ClientHeight = 561;
constexpr int CodeListDropDownWidth = 230;

const QColor SelectedColour(QStringLiteral("orange"));
const QColor EditedColour(QStringLiteral("aqua"));

QString Text(const std::string& text) { return QString::fromLatin1(text.data(), qsizetype(text.size())); }

int SlotBit(int slot) { return 1 << (slot - 1); }

// The lists are editable boxes, but only picking an item counts: typing is switched off
// (the edit field is read-only, no completer, nothing is ever inserted), and a click on
// the edit field opens the list as a click on the arrow does.
class OpenListOnClick : public QObject {
 public:
  explicit OpenListOnClick(QComboBox* box) : QObject(box), box_(box) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
        return true;
      case QEvent::MouseButtonRelease:
        // Opened on the release: a popup opened on the press would take the release
        // as a click outside it and close again.
        if (box_->isEnabled()) box_->showPopup();
        return true;
      default:
        return QObject::eventFilter(watched, event);
    }
  }

 private:
  QComboBox* box_;
};

QComboBox* PickOnlyList(QWidget* parent, const std::vector<std::string>& items, const char* text) {
  auto* box = new QComboBox(parent);
  box->setEditable(true);
  box->setInsertPolicy(QComboBox::NoInsert);
  box->setCompleter(nullptr);
  box->lineEdit()->setReadOnly(true);
  box->lineEdit()->installEventFilter(new OpenListOnClick(box));
  box->setMaxVisibleItems(16);
  for (const std::string& item : items) box->addItem(Text(item));
  box->setCurrentIndex(-1);
  box->setEditText(QString::fromLatin1(text));
  return box;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// PictureButton

PictureButton::PictureButton(QWidget* parent) : QPushButton(parent) {
  setAttribute(Qt::WA_Hover);
}

void PictureButton::setBackgroundImage(const QPixmap& image) {
  backgroundImage_ = image;
  update();
}

void PictureButton::setTextAlignment(Qt::Alignment alignment) {
  textAlignment_ = alignment;
  update();
}

void PictureButton::setTextColour(const QColor& colour) {
  QPalette p = palette();
  p.setColor(QPalette::ButtonText, colour);
  setPalette(p);
}

QColor PictureButton::textColour() const { return palette().color(QPalette::ButtonText); }

void PictureButton::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  const bool pressed = isDown() || isChecked();
  if (backgroundImage_.isNull()) {
    option.text.clear();
    option.icon = QIcon();
    painter.drawControl(QStyle::CE_PushButtonBevel, option);
  } else {
    painter.drawPixmap(0, 0, backgroundImage_);
    // The picture is the key; pressing and hovering only shade it.
    if (pressed) {
      painter.fillRect(rect(), QColor(0, 0, 0, 70));
    } else if (isEnabled() && underMouse()) {
      painter.fillRect(rect(), QColor(255, 255, 255, 36));
    }
    if (hasFocus()) {
      QStyleOptionFocusRect focus;
      focus.initFrom(this);
      focus.rect = rect().adjusted(3, 3, -3, -3);
      painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
  }
  QRect textRect = rect().adjusted(4, 3, -4, -3);
  if (pressed) textRect.translate(1, 1);
  const int flags = int(textAlignment_) | Qt::TextSingleLine;
  const QColor colour = textColour();
  if (!backgroundImage_.isNull()) {
    // Over the picture the text gets a thin outline of the opposite lightness, so that
    // black, orange and aqua text all stay readable on the same key.
    const int luma = (299 * colour.red() + 587 * colour.green() + 114 * colour.blue()) / 1000;
    painter.setPen(luma > 100 ? QColor(0, 0, 0, 150) : QColor(255, 255, 255, 90));
    for (const QPoint offset : {QPoint(-1, 0), QPoint(1, 0), QPoint(0, -1), QPoint(0, 1),
                                QPoint(-1, -1), QPoint(1, -1), QPoint(-1, 1), QPoint(1, 1)}) {
      painter.drawText(textRect.translated(offset), flags, text());
    }
  }
  painter.setPen(colour);
  painter.drawText(textRect, flags, text());
}

// ---------------------------------------------------------------------------------------
// My4way_layout

My4way_layout::My4way_layout(QWidget* owner) : QWidget(owner) {
  // An owned top-level window with a title bar and no buttons on it, of fixed size.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("Ovitone  Layout"));
  QPixmap noIcon(16, 16);
  noIcon.fill(Qt::transparent);
  setWindowIcon(QIcon(noIcon));  // otherwise the owner's icon would show
  setFixedSize(ClientWidth, ClientHeight);
  setFont(QFont(QStringLiteral("Microsoft Sans Serif"), 9));
  BuildControls();

  slots_ = {Slot{7, &currentK7Code, &currentM7Code, &unlistedM7Code, &originalK7Code,
                 &originalM7Code, &key7Text, &modifier7Text, key7Btn, modifierBtn7},
            Slot{8, &currentK8Code, &currentM8Code, &unlistedM8Code, &originalK8Code,
                 &originalM8Code, &key8Text, &modifier8Text, key8Btn, modifierBtn8},
            Slot{9, &currentK9Code, &currentM9Code, &unlistedM9Code, &originalK9Code,
                 &originalM9Code, &key9Text, &modifier9Text, key9Btn, modifierBtn9},
            Slot{10, &currentK10Code, &currentM10Code, &unlistedM10Code, &originalK10Code,
                 &originalM10Code, &key10Text, &modifier10Text, key10Btn, modifierBtn10}};

  // Until Load takes them, the colours the controls were created with.
  defaultButtonBackColor = key7Btn->textColour();
  currentMBColour = modifierBtn7->palette().color(QPalette::Button);
}

My4way_layout::~My4way_layout() = default;

void My4way_layout::BuildControls() {
  label1 = new QLabel(this);
  label1->setTextFormat(Qt::PlainText);
  label1->setText(QStringLiteral("Customise Ovitone  Code Table\n       (USB Codes in Hex)"));
  QFont headingFont(QStringLiteral("Microsoft Sans Serif"), 12, QFont::Bold);
  label1->setFont(headingFont);
  label1->move(142, 12);
  label1->adjustSize();

  pictureBox1 = new QLabel(this);
  pictureBox1->setGeometry(28, 91, 321, 458);
  pictureBox1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  pictureBox1->setScaledContents(false);

  QFont keyFont(QStringLiteral("Microsoft Sans Serif"), 9, QFont::Bold);
  auto keyButton = [&](int x, int y, int w, int h, const char* text, Qt::Alignment alignment,
                       void (My4way_layout::*handler)()) {
    auto* b = new PictureButton(this);
    b->setGeometry(x, y, w, h);
    b->setText(QString::fromLatin1(text));
    b->setTextAlignment(alignment);
    b->setTextColour(Qt::black);
    b->setFont(keyFont);
    connect(b, &QPushButton::clicked, this, handler);
    return b;
  };
  key7Btn = keyButton(61, 157, 103, 59, "", Qt::AlignHCenter | Qt::AlignBottom,
                      &My4way_layout::key7Btn_Click);
  key8Btn = keyButton(61, 242, 103, 59, "", Qt::AlignHCenter | Qt::AlignTop,
                      &My4way_layout::key8Btn_Click);
  key9Btn = keyButton(209, 390, 103, 26, "Jack IN", Qt::AlignCenter, &My4way_layout::key9Btn_Click);
  key10Btn = keyButton(209, 511, 103, 26, "Jack OUT", Qt::AlignCenter,
                       &My4way_layout::key10Btn_Click);

  auto button = [&](int x, int y, int w, int h, const char* text, void (My4way_layout::*handler)()) {
    auto* b = new QPushButton(QString::fromLatin1(text), this);
    b->setGeometry(x, y, w, h);
    connect(b, &QPushButton::clicked, this, handler);
    return b;
  };
  // The modifier buttons stay children of the window; created after the picture, they
  // lie above it where they touch their key buttons.
  modifierBtn7 = button(61, 134, 103, 25, "None", &My4way_layout::modifierBtn7_Click);
  modifierBtn8 = button(61, 298, 103, 25, "None", &My4way_layout::modifierBtn8_Click);
  modifierBtn9 = button(209, 374, 103, 20, "None", &My4way_layout::modifierBtn9_Click);
  modifierBtn10 = button(209, 495, 103, 20, "None", &My4way_layout::modifierBtn10_Click);

  selectCodeCbox = PickOnlyList(this, KeyCodeItems(), "Select Code");
  selectCodeCbox->setGeometry(414, 109, 120, 25);
  selectCodeCbox->view()->setMinimumWidth(CodeListDropDownWidth);
  selectCodeCbox->hide();
  connect(selectCodeCbox, &QComboBox::activated, this,
          &My4way_layout::selectCodeCbox_SelectionChangeCommitted);

  selectModifierCbox = PickOnlyList(this, ModifierItems(), "Modifier");
  selectModifierCbox->setGeometry(414, 109, 120, 25);
  selectModifierCbox->hide();
  connect(selectModifierCbox, &QComboBox::activated, this,
          &My4way_layout::selectModifierCbox_SelectionChangeCommitted);

  QFont commandFont(QStringLiteral("Microsoft Sans Serif"), 11);
  resetBtn = button(414, 271, 143, 71, "Reset", &My4way_layout::resetBtn_Click);
  applyBtn = button(414, 364, 143, 71, "Apply", &My4way_layout::applyBtn_Click);
  exitBtn = button(414, 466, 143, 71, "Close", &My4way_layout::exitBtn_Click);
  for (QPushButton* b : {resetBtn, applyBtn, exitBtn}) b->setFont(commandFont);
}

void My4way_layout::EmbedButtonInMirkelPicture(PictureButton* button, QLabel* pictureBox) {
  // The button's spot in picture box coordinates, by way of the screen.
  const QPoint onScreen = button->parentWidget()->mapToGlobal(button->pos());
  const QPoint inPicture = pictureBox->mapFromGlobal(onScreen);

  const bool wasHidden = button->isHidden();
  button->setParent(pictureBox);
  button->move(inPicture);
  if (!wasHidden) button->show();  // a new parent hides the button

  // The part of the picture under the button, drawn unscaled like the picture itself.
  QPixmap background(button->size());
  background.fill(Qt::transparent);
  const QPixmap picture = pictureBox->pixmap();
  if (!picture.isNull()) {
    QPainter painter(&background);
    painter.drawPixmap(QPoint(0, 0), picture, QRect(inPicture, button->size()));
  }
  button->setBackgroundImage(background);
}

void My4way_layout::showEvent(QShowEvent* event) {
  if (!loaded_ && !event->spontaneous()) {
    loaded_ = true;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect frame(QPoint(0, 0), size());
      frame.moveCenter(screen->availableGeometry().center());
      move(frame.topLeft());
    }
    My4way_layout_Load();
  }
  QWidget::showEvent(event);
}

QString My4way_layout::ModifierButtonText(const Slot& s) const {
  if (*s.unlistedM >= 0) return Text(CodeLabel(static_cast<uint8_t>(*s.unlistedM)));
  // An index outside the list is sent as "no modifier"; show it so.
  const int index = (*s.currentM >= 0 && *s.currentM < ModifierItemCount) ? *s.currentM : 0;
  return Text(ModifierItems()[size_t(index)]);
}

void My4way_layout::SetModifierBackground(QPushButton* button, const QColor& colour) {
  QPalette p = button->palette();
  p.setColor(QPalette::Button, colour);
  button->setPalette(p);
}

void My4way_layout::My4way_layout_Load() {
  selectCodeCbox->hide();
  selectModifierCbox->hide();
  for (size_t i = 0; i < slots_.size(); ++i) {
    const Slot& s = slots_[i];
    *s.originalM = *s.currentM;
    *s.originalK = *s.currentK;
    originalUnlistedM_[i] = *s.unlistedM;
    *s.keyText = s.keyButton->text();
  }
  defaultButtonBackColor = key7Btn->textColour();
  for (const Slot& s : slots_) {
    s.modifierButton->setText(ModifierButtonText(s));
    *s.modifierText = s.modifierButton->text();
  }
  currentMBColour = modifierBtn7->palette().color(QPalette::Button);
  keySelected = 0;
  modSelected = 0;
}

void My4way_layout::KeyClick(int slot) {
  const Slot& s = slots_[size_t(slot - 7)];
  if ((keySelected & SlotBit(slot)) == 0) {
    s.keyButton->setTextColour(SelectedColour);
    selectCodeCbox->show();
    selectModifierCbox->hide();
  } else {
    s.keyButton->setTextColour(defaultButtonBackColor);
  }
  keySelected ^= SlotBit(slot);
}

void My4way_layout::ModifierClick(int slot) {
  const Slot& s = slots_[size_t(slot - 7)];
  if ((modSelected & SlotBit(slot)) == 0) {
    SetModifierBackground(s.modifierButton, SelectedColour);
    selectModifierCbox->show();
    selectCodeCbox->hide();
  } else {
    SetModifierBackground(s.modifierButton, currentMBColour);
  }
  modSelected ^= SlotBit(slot);
}

void My4way_layout::key7Btn_Click() { KeyClick(7); }
void My4way_layout::key8Btn_Click() { KeyClick(8); }
void My4way_layout::key9Btn_Click() { KeyClick(9); }
void My4way_layout::key10Btn_Click() { KeyClick(10); }
void My4way_layout::modifierBtn7_Click() { ModifierClick(7); }
void My4way_layout::modifierBtn8_Click() { ModifierClick(8); }
void My4way_layout::modifierBtn9_Click() { ModifierClick(9); }
void My4way_layout::modifierBtn10_Click() { ModifierClick(10); }

void My4way_layout::selectCodeCbox_SelectionChangeCommitted() {
  selectCodeCbox->hide();
  const int position = selectCodeCbox->currentIndex();
  if (position < 0 || position >= KeyCodeItemCount) return;
  const QString label = Text(CodeLabel(static_cast<uint8_t>(position)));
  for (const Slot& s : slots_) {
    if ((keySelected & SlotBit(s.slot)) == 0) continue;
    s.keyButton->setText(label);
    *s.currentK = position;
    s.keyButton->setTextColour(EditedColour);
  }
  keySelected = 0;
}

void My4way_layout::selectModifierCbox_SelectionChangeCommitted() {
  selectModifierCbox->hide();
  const int position = selectModifierCbox->currentIndex();
  if (position < 0 || position >= ModifierItemCount) return;
  const QString item = selectModifierCbox->itemText(position);
  for (const Slot& s : slots_) {
    if ((modSelected & SlotBit(s.slot)) == 0) continue;
    s.modifierButton->setText(item);
    *s.currentM = position;
    *s.unlistedM = -1;
    SetModifierBackground(s.modifierButton, currentMBColour);
  }
  modSelected = 0;
}

void My4way_layout::resetBtn_Click() {
  for (size_t i = 0; i < slots_.size(); ++i) {
    const Slot& s = slots_[i];
    s.keyButton->setText(*s.keyText);
    s.keyButton->setTextColour(defaultButtonBackColor);
    *s.currentK = *s.originalK;
    *s.currentM = *s.originalM;
    *s.unlistedM = originalUnlistedM_[i];
    SetModifierBackground(s.modifierButton, currentMBColour);
    s.modifierButton->setText(*s.modifierText);
  }
  keySelected = 0;
  modSelected = 0;
}

void My4way_layout::applyBtn_Click() {
  std::array<uint8_t, KeyCodeTableSize> table{};
  for (size_t i = 0; i < slots_.size(); ++i) {
    const Slot& s = slots_[i];
    table[2 * i] = *s.unlistedM >= 0 ? static_cast<uint8_t>(*s.unlistedM)
                                     : ModifierIndexToUsage(*s.currentM);
    table[2 * i + 1] = static_cast<uint8_t>(*s.currentK);
  }
  // Under the device lock: the self test's worker may be talking to the encoder too.
  if (SendKeyTable(table) != ResultOk) {
    ui::ShowMessage(this, QStringLiteral("Unable to Load Table..\n"), QStringLiteral("Orvane Ovitone"),
                    ui::Buttons::Ok, ui::Icon::Warning);
    return;
  }
  close();
}

void My4way_layout::exitBtn_Click() { close(); }

}  // namespace pellix_usb_encoder
