#include "demo/demo_panel.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadialGradient>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

#include "layout_editor/core/key_code_table.h"
#include "sim/loader_twin.h"
#include "sim/sim_bus.h"
#include "support/ui/user_interaction.h"

namespace pellix_usb_encoder {

namespace {

using sim::Bus;
using sim::EncoderFault;

constexpr int kPollMs = 100;
constexpr int kPanelWidth = 400;
constexpr int kGapToMainWindow = 12;
constexpr int kFrameWaitMs = 50;
constexpr int kFrameWaitTries = 20;
constexpr int kCaptionWidth = 112;
constexpr int kMaxLevel = 9;

const char* const kCodeTableNames[] = {"Default", "Alternate", "Customised"};
const char* const kKeyNames[] = {"Vol Up", "Vol Down", "Jack IN", "Jack OUT"};
const char* const kButtonTexts[] = {"Vol Up", "Vol Down", "Insert jack", "Remove jack"};

// The eight modifier usages 0xE0..0xE7: left Ctrl, Shift, Alt, GUI, then the right ones.
Qt::KeyboardModifiers ModifiersOf(uint8_t modifier) {
  if (modifier < 0xE0 || modifier > 0xE7) return Qt::NoModifier;
  static constexpr Qt::KeyboardModifier kByUsage[] = {Qt::ControlModifier, Qt::ShiftModifier,
                                                      Qt::AltModifier, Qt::MetaModifier};
  return kByUsage[(modifier - 0xE0) % 4];
}

// A usage's key: Qt key, whether it sits on the keypad, and what it types unshifted and
// shifted on a US keyboard (num lock on).
struct UsageKey {
  int key = 0;
  bool keypad = false;
  QChar text, shifted;
};

UsageKey Silent(int key) { return UsageKey{key, false, QChar(), QChar()}; }

std::optional<UsageKey> KeyOfUsage(uint8_t u) {
  if (u >= 0x04 && u <= 0x1D) {  // a..z
    const char letter = char('a' + (u - 0x04));
    return UsageKey{Qt::Key_A + (u - 0x04), false, QChar(letter), QChar(letter).toUpper()};
  }
  if (u >= 0x1E && u <= 0x27) {  // 1..9, 0
    static constexpr char kDigits[] = "1234567890", kShifted[] = "!@#$%^&*()";
    const int i = u - 0x1E;
    return UsageKey{Qt::Key_0 + (i + 1) % 10, false, QChar(kDigits[i]), QChar(kShifted[i])};
  }
  if (u >= 0x2D && u <= 0x38) {  // the punctuation keys
    static constexpr int kKeys[] = {Qt::Key_Minus,      Qt::Key_Equal,     Qt::Key_BracketLeft,
                                    Qt::Key_BracketRight, Qt::Key_Backslash, Qt::Key_NumberSign,
                                    Qt::Key_Semicolon,  Qt::Key_Apostrophe, Qt::Key_QuoteLeft,
                                    Qt::Key_Comma,      Qt::Key_Period,    Qt::Key_Slash};
    static constexpr char kText[] = "-=[]\\#;'`,./", kShifted[] = "_+{}|~:\"~<>?";
    const int i = u - 0x2D;
    return UsageKey{kKeys[i], false, QChar(kText[i]), QChar(kShifted[i])};
  }
  if (u >= 0x3A && u <= 0x45) return Silent(Qt::Key_F1 + (u - 0x3A));  // F1..F12
  if (u >= 0x68 && u <= 0x73) return Silent(Qt::Key_F13 + (u - 0x68));  // F13..F24
  if (u >= 0x59 && u <= 0x62) {  // keypad 1..9, 0
    const int digit = (u - 0x59 + 1) % 10;
    const QChar c(char('0' + digit));
    return UsageKey{Qt::Key_0 + digit, true, c, c};
  }
  switch (u) {
    case 0x28: return UsageKey{Qt::Key_Return, false, QChar('\r'), QChar('\r')};
    case 0x29: return UsageKey{Qt::Key_Escape, false, QChar(0x1B), QChar(0x1B)};
    case 0x2A: return UsageKey{Qt::Key_Backspace, false, QChar('\b'), QChar('\b')};
    case 0x2B: return UsageKey{Qt::Key_Tab, false, QChar('\t'), QChar('\t')};
    case 0x2C: return UsageKey{Qt::Key_Space, false, QChar(' '), QChar(' ')};
    case 0x39: return Silent(Qt::Key_CapsLock);
    case 0x46: return Silent(Qt::Key_Print);
    case 0x47: return Silent(Qt::Key_ScrollLock);
    case 0x48: return Silent(Qt::Key_Pause);
    case 0x49: return Silent(Qt::Key_Insert);
    case 0x4A: return Silent(Qt::Key_Home);
    case 0x4B: return Silent(Qt::Key_PageUp);
    case 0x4C: return Silent(Qt::Key_Delete);
    case 0x4D: return Silent(Qt::Key_End);
    case 0x4E: return Silent(Qt::Key_PageDown);
    case 0x4F: return Silent(Qt::Key_Right);
    case 0x50: return Silent(Qt::Key_Left);
    case 0x51: return Silent(Qt::Key_Down);
    case 0x52: return Silent(Qt::Key_Up);
    case 0x53: return Silent(Qt::Key_NumLock);
    case 0x54: return UsageKey{Qt::Key_Slash, true, QChar('/'), QChar('/')};
    case 0x55: return UsageKey{Qt::Key_Asterisk, true, QChar('*'), QChar('*')};
    case 0x56: return UsageKey{Qt::Key_Minus, true, QChar('-'), QChar('-')};
    case 0x57: return UsageKey{Qt::Key_Plus, true, QChar('+'), QChar('+')};
    case 0x58: return UsageKey{Qt::Key_Enter, true, QChar('\r'), QChar('\r')};
    case 0x63: return UsageKey{Qt::Key_Period, true, QChar('.'), QChar('.')};
    case 0x64: return UsageKey{Qt::Key_Backslash, false, QChar('\\'), QChar('|')};  // ISO key
    case 0x65: return Silent(Qt::Key_Menu);  // Application
    case 0x66: return Silent(Qt::Key_PowerOff);
    case 0x67: return UsageKey{Qt::Key_Equal, true, QChar('='), QChar('=')};
    case 0x74: return Silent(Qt::Key_Execute);
    case 0x75: return Silent(Qt::Key_Help);
    case 0x76: return Silent(Qt::Key_Menu);
    case 0x77: return Silent(Qt::Key_Select);
    case 0x78: return Silent(Qt::Key_Stop);
    case 0x79: return Silent(Qt::Key_Redo);  // Again
    case 0x7A: return Silent(Qt::Key_Undo);
    case 0x7B: return Silent(Qt::Key_Cut);
    case 0x7C: return Silent(Qt::Key_Copy);
    case 0x7D: return Silent(Qt::Key_Paste);
    case 0x7E: return Silent(Qt::Key_Find);
    case 0x7F: return Silent(Qt::Key_VolumeMute);
    case 0x80: return Silent(Qt::Key_VolumeUp);
    case 0x81: return Silent(Qt::Key_VolumeDown);
    default: return std::nullopt;
  }
}

TypedKey Plain(Qt::Key key) { return TypedKey{QKeyCombination(key), QString()}; }

// What a typed key is called on the panel: "F13", "Shift+A", "Volume Up".
QString KeyName(const TypedKey& key) {
  return QKeySequence(key.combination).toString(QKeySequence::NativeText);
}

QString WindowName(const QWidget* target) {
  const QString title = target->window()->windowTitle().simplified();
  return title.isEmpty() ? QStringLiteral("the focused window") : "“" + title + "”";
}

QLabel* Caption(const QString& text) {
  auto* label = new QLabel(text);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
  label->setPalette(palette);
  return label;
}

QLabel* Value() {
  auto* label = new QLabel;
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

// The state lamp: a small filled circle in `colour`.
QPixmap Lamp(const QColor& colour) {
  const qreal ratio = qApp->devicePixelRatio();
  QPixmap pixmap(QSize(12, 12) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(colour.darker(140), 1));
  painter.setBrush(colour);
  painter.drawEllipse(QRectF(1.5, 1.5, 9, 9));
  return pixmap;
}

}  // namespace

std::optional<TypedKey> QtKeyForUsage(uint8_t modifier, uint8_t usage) {
  const auto key = KeyOfUsage(usage);
  if (!key) return std::nullopt;
  Qt::KeyboardModifiers modifiers = ModifiersOf(modifier);
  const bool shift = modifiers.testFlag(Qt::ShiftModifier);
  // With Ctrl, Alt or GUI held the key is a shortcut and types no text.
  const bool typesText =
      !(modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
  if (key->keypad) modifiers |= Qt::KeypadModifier;
  const QChar c = shift ? key->shifted : key->text;
  return TypedKey{QKeyCombination(modifiers, Qt::Key(key->key)),
                  typesText && !c.isNull() ? QString(c) : QString()};
}

std::optional<TypedKey> KeyOfCodeTable(int keypadType, const std::array<uint8_t, 8>& table,
                                       ModuleKey key) {
  const int index = static_cast<int>(key);
  switch (keypadType) {
    case 0: {
      // The default table: the keys a host sees nowhere else, F13..F16. The self test
      // switches to it to recognise each key.
      static constexpr Qt::Key kKeys[] = {Qt::Key_F13, Qt::Key_F14, Qt::Key_F15, Qt::Key_F16};
      return Plain(kKeys[index]);
    }
    case 1: {
      // The alternate table's real contents are not published; the demo makes it the
      // media keys Volume Up (usage 0x80) and Volume Down (0x81) on the volume keys,
      // and F15 and F16 on the jack.
      static constexpr Qt::Key kKeys[] = {Qt::Key_VolumeUp, Qt::Key_VolumeDown, Qt::Key_F15,
                                          Qt::Key_F16};
      return Plain(kKeys[index]);
    }
    case 2:
      return QtKeyForUsage(table[2 * index], table[2 * index + 1]);
    default:
      return std::nullopt;
  }
}

// ---------------------------------------------------------------------------------
// LED.

LedIndicator::LedIndicator(QWidget* parent) : QWidget(parent) {
  setFixedSize(sizeHint());
  setFocusPolicy(Qt::NoFocus);
}

QSize LedIndicator::sizeHint() const { return {26, 26}; }

void LedIndicator::SetLevel(int level) {
  level = std::clamp(level, 0, kMaxLevel);
  if (level == level_) return;
  level_ = level;
  setToolTip(level == 0 ? tr("Off") : tr("Level %1 of %2").arg(level).arg(kMaxLevel));
  update();
}

void LedIndicator::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF area = QRectF(rect()).adjusted(1, 1, -1, -1);
  const QPointF centre = area.center();
  const qreal lens = area.width() * 0.30;  // radius of the LED itself; the rest is glow
  const qreal share = qreal(level_) / kMaxLevel;

  // Glow around the lens, wider and stronger as the level rises.
  if (level_ > 0) {
    QRadialGradient glow(centre, area.width() / 2);
    QColor halo(70, 160, 255, int(40 + 120 * share));
    glow.setColorAt(0.45, halo);
    halo.setAlpha(0);
    glow.setColorAt(1.0, halo);
    painter.setPen(Qt::NoPen);
    painter.setBrush(glow);
    painter.drawEllipse(area);
  }

  // The lens: dark grey when off, from dim to bright blue with the level.
  const QColor off(88, 92, 98);
  const QColor lit = QColor::fromHsv(210, int(200 - 90 * share), int(130 + 125 * share));
  const QColor body = level_ == 0 ? off : lit;
  QRadialGradient lensFill(centre - QPointF(lens * 0.35, lens * 0.35), lens * 1.4);
  lensFill.setColorAt(0.0, level_ == 0 ? off.lighter(150) : QColor(Qt::white));
  lensFill.setColorAt(0.5, body);
  lensFill.setColorAt(1.0, body.darker(level_ == 0 ? 130 : 115));
  painter.setPen(QPen(level_ == 0 ? off.darker(140) : lit.darker(130), 1));
  painter.setBrush(lensFill);
  painter.drawEllipse(centre, lens, lens);
}

// ---------------------------------------------------------------------------------
// Panel.

DemoPanel::DemoPanel(std::shared_ptr<sim::EncoderTwin> encoder,
                     std::shared_ptr<sim::LoaderTwin> loader, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowDoesNotAcceptFocus),
      encoder_(std::move(encoder)),
      loader_(std::move(loader)) {
  setWindowTitle(QStringLiteral("Simulated encoder"));
  setWindowIcon(QIcon(QStringLiteral(":/ovitone.png")));
  setObjectName(QStringLiteral("DemoPanel"));
  // Keys are typed into the program's windows: the panel must never hold the focus.
  setAttribute(Qt::WA_ShowWithoutActivating);
  // The panel stands for the hardware: pressing its keys or pulling the cable happens
  // whatever the program is waiting for.
  setProperty(ui::NeverHoldInputProperty, true);
  setFocusPolicy(Qt::NoFocus);

  BuildControls();
  for (QWidget* child : findChildren<QWidget*>()) child->setFocusPolicy(Qt::NoFocus);
  ShowStatus(tr("Press a key to type it into the focused window."));
  Refresh();

  // Remembers where the keyboard focus was last outside the panel, for a window
  // manager that activates the panel all the same.
  lastFocus_ = QApplication::focusWidget();
  if (lastFocus_ && lastFocus_->window() == this) lastFocus_ = nullptr;
  connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
    if (now != nullptr && now->window() != this) lastFocus_ = now;
  });

  poll_ = new QTimer(this);
  poll_->setInterval(kPollMs);
  connect(poll_, &QTimer::timeout, this, &DemoPanel::Refresh);
  poll_->start();
}

DemoPanel::~DemoPanel() = default;

void DemoPanel::BuildControls() {
  auto* top = new QVBoxLayout(this);
  top->setContentsMargins(12, 12, 12, 12);
  top->setSpacing(10);

  auto grid = [](QGroupBox* box) {
    auto* layout = new QGridLayout(box);
    layout->setContentsMargins(12, 8, 12, 10);
    layout->setHorizontalSpacing(10);
    layout->setVerticalSpacing(6);
    layout->setColumnMinimumWidth(0, kCaptionWidth);
    return layout;
  };
  auto button = [this](const QString& text, auto slot) {
    auto* b = new QPushButton(text);
    b->setAutoDefault(false);
    b->setMinimumHeight(28);
    connect(b, &QPushButton::clicked, this, slot);
    return b;
  };

  // Device: what the bus sees, and the cable.
  auto* device = new QGroupBox(tr("Device"));
  auto* deviceGrid = grid(device);
  stateLamp = new QLabel;
  stateLabel = Value();
  auto* stateRow = new QHBoxLayout;
  stateRow->setSpacing(6);
  stateRow->addWidget(stateLamp);
  stateRow->addWidget(stateLabel, 1);
  firmwareLabel = Value();
  serialLabel = Value();
  jackLabel = Value();
  deviceGrid->addWidget(Caption(tr("State")), 0, 0);
  deviceGrid->addLayout(stateRow, 0, 1, 1, 2);
  deviceGrid->addWidget(Caption(tr("Firmware")), 1, 0);
  deviceGrid->addWidget(firmwareLabel, 1, 1, 1, 2);
  deviceGrid->addWidget(Caption(tr("Serial number")), 2, 0);
  deviceGrid->addWidget(serialLabel, 2, 1, 1, 2);
  deviceGrid->addWidget(Caption(tr("Jack")), 3, 0);
  deviceGrid->addWidget(jackLabel, 3, 1, 1, 2);
  unplugButton = button(tr("Unplug"), &DemoPanel::Unplug);
  replugButton = button(tr("Replug"), &DemoPanel::Replug);
  unplugButton->setToolTip(tr("Pulls the encoder's USB cable"));
  replugButton->setToolTip(tr("Plugs the encoder back in; it starts its firmware"));
  auto* cable = new QHBoxLayout;
  cable->setSpacing(8);
  cable->addWidget(unplugButton);
  cable->addWidget(replugButton);
  deviceGrid->addLayout(cable, 4, 0, 1, 3);
  deviceGrid->setColumnStretch(2, 1);
  top->addWidget(device);

  // LEDs: the volume keys' two LEDs share one level, the jack LED has its own.
  auto* leds = new QGroupBox(tr("LEDs"));
  auto* ledGrid = grid(leds);
  auto levelLabel = [] {
    auto* label = Value();
    label->setMinimumWidth(64);
    return label;
  };
  // Each row: the LEDs in a fixed-width strip, then the level.
  auto ledRow = [](std::initializer_list<LedIndicator*> row) {
    auto* layout = new QHBoxLayout;
    layout->setSpacing(4);
    for (LedIndicator* led : row) layout->addWidget(led);
    layout->addStretch();
    return layout;
  };
  volumeLeds = {new LedIndicator, new LedIndicator};
  jackLed = new LedIndicator;
  volumeLevelLabel = levelLabel();
  jackLevelLabel = levelLabel();
  ledGrid->addWidget(Caption(tr("Volume keys")), 0, 0);
  ledGrid->addLayout(ledRow({volumeLeds[0], volumeLeds[1]}), 0, 1);
  ledGrid->addWidget(volumeLevelLabel, 0, 2);
  ledGrid->addWidget(Caption(tr("Jack")), 1, 0);
  ledGrid->addLayout(ledRow({jackLed}), 1, 1);
  ledGrid->addWidget(jackLevelLabel, 1, 2);
  ledGrid->setColumnMinimumWidth(1, 2 * volumeLeds[0]->sizeHint().width() + 12);
  ledGrid->setColumnStretch(2, 1);
  top->addWidget(leds);

  // Keys: the four buttons of the module, each with the key it types now.
  auto* keys = new QGroupBox(tr("Keys"));
  auto* keyGrid = grid(keys);
  codeTableLabel = Value();
  keyGrid->addWidget(Caption(tr("Code table")), 0, 0);
  keyGrid->addWidget(codeTableLabel, 0, 1, 1, 2);
  for (int i = 0; i < 4; ++i) {
    const auto key = ModuleKey(i);
    keyButtons[i] = button(tr(kButtonTexts[i]), [this, key] { Press(key); });
    keyButtons[i]->setFixedWidth(kCaptionWidth);
    keyLabels[i] = new QLabel;
    keyLabels[i]->setTextFormat(Qt::PlainText);
    keyGrid->addWidget(keyButtons[i], 1 + i, 0);
    keyGrid->addWidget(keyLabels[i], 1 + i, 1, 1, 2);
  }
  keyButtons[2]->setToolTip(tr("Plugs a jack into the socket: the encoder types its Jack IN key"));
  keyButtons[3]->setToolTip(tr("Pulls the jack out: the encoder types its Jack OUT key"));
  keyGrid->setColumnStretch(2, 1);
  top->addWidget(keys);

  // Faults: each stays on, for every command, until switched off.
  auto* faults = new QGroupBox(tr("Faults"));
  faults->setToolTip(
      tr("A fault applies to every command until switched off. With several on, the one "
         "switched on first answers."));
  auto* faultGrid = new QGridLayout(faults);
  faultGrid->setContentsMargins(12, 8, 12, 10);
  faultGrid->setHorizontalSpacing(16);
  faultGrid->setVerticalSpacing(6);
  struct FaultItem {
    EncoderFault fault;
    const char* label;
    const char* tip;
  };
  static const FaultItem kFaults[] = {
      {EncoderFault::Silence, "No answer", "Takes each command and never answers"},
      {EncoderFault::Refuse, "Refuse commands", "Answers every command with a refusal (0x0F)"},
      {EncoderFault::BadStatus, "Error status", "Answers with an error status; nothing changes"},
      {EncoderFault::BadChecksum, "Corrupt checksum", "Carries out the command, then garbles "
                                                      "the reply's checksum"},
      {EncoderFault::OversizeByte, "Oversized reply", "Carries out the command; the reply "
                                                      "claims more bytes than a report holds"},
      {EncoderFault::AckStream, "Acknowledge first", "Sends acknowledgements (0x06) before "
                                                     "each reply"},
      {EncoderFault::UnplugDuringExchange, "Drop off the bus",
       "Leaves the bus in the middle of the next command; Replug brings it back"},
  };
  int row = 0, column = 0;
  auto place = [&](QCheckBox* box) {
    faultGrid->addWidget(box, row, column);
    if (++column == 2) column = 0, ++row;
  };
  for (const FaultItem& item : kFaults) {
    auto* box = new QCheckBox(tr(item.label));
    box->setToolTip(tr(item.tip));
    const EncoderFault fault = item.fault;
    connect(box, &QCheckBox::toggled, this, [this, fault](bool on) { SetFault(fault, on); });
    faultBoxes[fault] = box;
    place(box);
  }
  accessDeniedBox = new QCheckBox(tr("Access denied"));
  accessDeniedBox->setToolTip(tr("The program may not open the encoder (no udev rule)"));
  connect(accessDeniedBox, &QCheckBox::toggled, this, &DemoPanel::SetAccessDenied);
  place(accessDeniedBox);
  top->addWidget(faults);

  // The status line.
  statusLine = new QLabel;
  statusLine->setWordWrap(true);
  statusLine->setTextFormat(Qt::PlainText);
  statusLine->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  statusLine->setFrameShape(QFrame::StyledPanel);
  statusLine->setFrameShadow(QFrame::Sunken);
  statusLine->setMargin(4);
  statusLine->setFixedHeight(statusLine->fontMetrics().lineSpacing() * 2 + 12);
  top->addWidget(statusLine);

  setFixedSize(kPanelWidth, top->sizeHint().height());
}

DemoPanel::DeviceState DemoPanel::CurrentState() const {
  Bus& bus = Bus::Instance();
  const bool encoderOn = bus.IsPlugged(*encoder_);
  const bool loaderOn = loader_ && bus.IsPlugged(*loader_);
  const bool upgrading = encoder_->InFirmwareUpgrade();
  if (encoderOn) return upgrading ? DeviceState::InLoader : DeviceState::OnBus;
  if (loaderOn) return DeviceState::InLoader;
  // Between the encoder leaving for its loader and the loader joining (or the loader
  // resetting and the encoder rejoining) the device is still on its way.
  if (upgrading && !unpluggedByUser_) return DeviceState::InLoader;
  return DeviceState::Unplugged;
}

void DemoPanel::Refresh() {
  const sim::EncoderSettings settings = encoder_->Settings();
  const bool jackIn = encoder_->JackInserted();

  const DeviceState state = CurrentState();
  const bool anyOnBus = Bus::Instance().IsPlugged(*encoder_) ||
                        (loader_ && Bus::Instance().IsPlugged(*loader_));
  switch (state) {
    case DeviceState::OnBus:
      stateLabel->setText(tr("On the bus"));
      break;
    case DeviceState::InLoader:
      stateLabel->setText(tr("In its firmware loader"));
      break;
    case DeviceState::Unplugged:
      stateLabel->setText(tr("Unplugged"));
      break;
  }
  const int stateIndex = static_cast<int>(state);
  if (stateLamp->property("state").toInt() != stateIndex || stateLamp->pixmap().isNull()) {
    static const QColor kLampColours[] = {QColor(60, 180, 75), QColor(240, 160, 30),
                                          QColor(150, 150, 150)};
    stateLamp->setPixmap(Lamp(kLampColours[stateIndex]));
    stateLamp->setProperty("state", stateIndex);
  }
  unplugButton->setEnabled(anyOnBus);
  replugButton->setEnabled(!anyOnBus);
  firmwareLabel->setText(QString::fromStdString(encoder_->FirmwareVersion()));
  serialLabel->setText(QString::fromStdString(encoder_->SerialNumber()));
  jackLabel->setText(jackIn ? tr("In") : tr("Out"));

  // Unplugged, the module has no power: every LED is dark.
  const bool powered = state != DeviceState::Unplugged;
  for (LedIndicator* led : volumeLeds) led->SetLevel(powered ? settings.volLedBrightness : 0);
  jackLed->SetLevel(powered ? settings.jackLedBrightness : 0);
  auto levelText = [this, powered](int level) {
    if (!powered) return tr("No power");
    return level == 0 ? tr("Off") : tr("Level %1").arg(level);
  };
  volumeLevelLabel->setText(levelText(settings.volLedBrightness));
  jackLevelLabel->setText(levelText(settings.jackLedBrightness));

  const int table = settings.keypadType;
  codeTableLabel->setText(table >= 0 && table <= 2
                              ? tr("%1 (%2)").arg(tr(kCodeTableNames[table])).arg(table)
                              : tr("Unknown (%1)").arg(table));
  for (int i = 0; i < 4; ++i) {
    const auto typed = KeyOfCodeTable(table, settings.keyCodeTable, ModuleKey(i));
    QString text = typed ? KeyName(*typed) : tr("nothing");
    if (table == 2) {
      const uint8_t modifier = settings.keyCodeTable[2 * i];
      const uint8_t usage = settings.keyCodeTable[2 * i + 1];
      text = QString::fromStdString(CodeLabel(modifier)) + "  " +
             QString::fromStdString(CodeLabel(usage)) + "   " + text;
    }
    keyLabels[i]->setText(QStringLiteral("→  ") + text);
  }

  // A key on the module is there whatever the bus does; only the typing needs the
  // encoder's firmware running on the bus.
  keyButtons[2]->setEnabled(!jackIn);
  keyButtons[3]->setEnabled(jackIn);
}

QWidget* DemoPanel::KeyTarget() const {
  auto outside = [this](QWidget* w) { return w != nullptr && w->window() != this ? w : nullptr; };
  if (QWidget* focus = outside(QApplication::focusWidget())) return focus;
  if (QWidget* active = outside(QApplication::activeWindow())) return active;
  if (QWidget* last = outside(lastFocus_.data()); last && last->isVisible()) return last;
  return nullptr;
}

void DemoPanel::Press(ModuleKey key) {
  const int index = static_cast<int>(key);
  QString done;
  if (key == ModuleKey::JackIn || key == ModuleKey::JackOut) {
    const bool insert = key == ModuleKey::JackIn;
    encoder_->SetJackInserted(insert);
    done = insert ? tr("Jack inserted. ") : tr("Jack removed. ");
  }
  const QString name = tr(kKeyNames[index]);

  if (CurrentState() != DeviceState::OnBus) {
    ShowStatus(done + tr("The encoder is not running on the bus: %1 typed nothing.").arg(name));
    Refresh();
    return;
  }
  const sim::EncoderSettings settings = encoder_->Settings();
  const auto typed = KeyOfCodeTable(settings.keypadType, settings.keyCodeTable, key);
  if (!typed) {
    const uint8_t usage = settings.keyCodeTable[2 * index + 1];
    ShowStatus(done + (usage == 0 ? tr("%1 has no key in the custom table: nothing typed.")
                                        .arg(name)
                                  : tr("%1 sends usage %2, which the demo cannot type: "
                                       "nothing typed.")
                                        .arg(name, QString::fromStdString(CodeLabel(usage)))));
    Refresh();
    return;
  }
  QWidget* target = KeyTarget();
  if (target == nullptr) {
    ShowStatus(done + tr("No window has the keyboard focus: %1 typed nothing.").arg(name));
    Refresh();
    return;
  }
  // Posted, as the window system delivers keys: a key that opens a dialog in the
  // target does not run that dialog inside this click.
  const Qt::Key qtKey = typed->combination.key();
  const Qt::KeyboardModifiers modifiers = typed->combination.keyboardModifiers();
  QCoreApplication::postEvent(target,
                              new QKeyEvent(QEvent::KeyPress, qtKey, modifiers, typed->text));
  QCoreApplication::postEvent(target,
                              new QKeyEvent(QEvent::KeyRelease, qtKey, modifiers, typed->text));
  ShowStatus(done + tr("%1 typed %2 into %3.").arg(name, KeyName(*typed), WindowName(target)));
  Refresh();
}

void DemoPanel::Unplug() {
  unpluggedByUser_ = true;
  Bus::Instance().Unplug(*encoder_);
  // The loader is the same device: the cable takes it away too, and cancels its
  // pending arrival.
  if (loader_) Bus::Instance().Unplug(*loader_);
  ShowStatus(tr("Encoder unplugged."));
  Refresh();
}

void DemoPanel::Replug() {
  unpluggedByUser_ = false;
  if (loader_) Bus::Instance().Unplug(*loader_);
  Bus::Instance().Plug(encoder_);
  ShowStatus(tr("Encoder plugged in: it runs its firmware. Scan For Device finds it."));
  Refresh();
}

void DemoPanel::SetFault(EncoderFault fault, bool on) {
  encoder_->RemoveFault(fault);
  if (on) encoder_->InjectFault(fault, -1);
  const QString label = faultBoxes.at(fault)->text();
  ShowStatus(on ? tr("“%1” is on for every command.").arg(label)
                : tr("“%1” is off.").arg(label));
}

void DemoPanel::SetAccessDenied(bool on) {
  Bus::Instance().SetOpenFails(on);
  ShowStatus(on ? tr("Access denied: the program cannot open the encoder at its next scan.")
                : tr("Access granted again."));
}

void DemoPanel::ShowStatus(const QString& text) { statusLine->setText(text); }

void DemoPanel::ShowBeside(QWidget* mainWindow) { PlaceBeside(mainWindow, kFrameWaitTries); }

void DemoPanel::PlaceBeside(QPointer<QWidget> mainWindow, int triesLeft) {
  if (mainWindow.isNull()) return;
  // The window manager frames a new window a moment after it shows: wait for the main
  // window's frame so that the two title bars line up.
  if (mainWindow->frameGeometry() == mainWindow->geometry() && triesLeft > 0) {
    QTimer::singleShot(kFrameWaitMs, this,
                       [this, mainWindow, triesLeft] { PlaceBeside(mainWindow, triesLeft - 1); });
    return;
  }
  const QRect main = mainWindow->frameGeometry();
  const int frameExtra = main.width() - mainWindow->width();  // the window manager's borders
  const int width = this->width() + frameExtra;
  int left = main.right() + 1 + kGapToMainWindow;
  int top = main.top();
  if (const QScreen* screen = mainWindow->screen()) {
    const QRect area = screen->availableGeometry();
    // The panel is taller than the main window: on a short screen it moves up so that
    // its bottom stays on the screen.
    const int height = this->height() + (main.height() - mainWindow->height());
    top = std::max(area.top(), std::min(top, area.bottom() + 1 - height));
    if (left + width > area.right() + 1) {
      // Side by side, centred as a pair; the main window moves left to make room.
      const int pairWidth = main.width() + kGapToMainWindow + width;
      const int mainLeft = std::max(area.left(), area.center().x() - pairWidth / 2);
      mainWindow->move(mainLeft, main.top());
      left = std::min(mainLeft + main.width() + kGapToMainWindow, area.right() + 1 - width);
    }
  }
  move(left, top);
  show();
}

}  // namespace pellix_usb_encoder
