// The demo's "Simulated encoder" window: the hardware side of the demo.
//
// It stands in for the jack module on the desk. It shows what the encoder twin is
// doing (LED levels, jack, code table, firmware, whether it is on the bus or in its
// firmware loader), lets the user press its keys, plug and unplug the jack and the
// encoder itself, and switch on the faults the twin can put into its answers.
//
// A key press types, like the encoder's keyboard interface does, the key of the code
// table in use into the window that has the keyboard focus. The panel never takes the
// focus itself, so the program's windows (the self test's key check above all) get the
// keys as they would from the device.
//
// The twin is polled every 100 ms on the GUI thread through its own accessors, which
// return at once: nothing here waits on the bus.
#pragma once

#include <QKeyCombination>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "sim/encoder_twin.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QTimer;

namespace pellix_usb_encoder {

namespace sim {
class LoaderTwin;
}

// The jack module's keys, in the order of the code tables.
enum class ModuleKey { VolumeUp = 0, VolumeDown = 1, JackIn = 2, JackOut = 3 };

// A key as the encoder's keyboard interface types it, in Qt's terms.
struct TypedKey {
  QKeyCombination combination;  // key and modifiers (keypad keys carry KeypadModifier)
  QString text;                 // the characters it types on a US keyboard, if any
  bool operator==(const TypedKey&) const = default;
};

// A modifier byte and a usage of the HID keyboard page, as a Qt key. Modifier bytes
// 0xE0..0xE7 give Ctrl, Shift, Alt and Meta (left or right alike); any other modifier
// byte adds nothing. Empty for usages that type nothing (0x00..0x03, the modifier
// usages themselves) and for usages this mapping does not know.
std::optional<TypedKey> QtKeyForUsage(uint8_t modifier, uint8_t usage);

// The key `key` types with code table `keypadType`: 0 F13..F16, 1 the alternate table,
// 2 the pair of `table` for that key. Empty when it types nothing.
std::optional<TypedKey> KeyOfCodeTable(int keypadType, const std::array<uint8_t, 8>& table,
                                       ModuleKey key);

class LedIndicator;

class DemoPanel : public QWidget {
  Q_OBJECT

 public:
  // `loader` is the firmware loader attached to `encoder` (may be null). With a parent
  // the panel is that window's tool window and goes away with it.
  DemoPanel(std::shared_ptr<sim::EncoderTwin> encoder, std::shared_ptr<sim::LoaderTwin> loader,
            QWidget* parent = nullptr);
  ~DemoPanel() override;

  // Shows the panel to the right of `mainWindow`, moving the main window left if the
  // two do not fit on its screen side by side.
  void ShowBeside(QWidget* mainWindow);

  // Reads the twin and updates the display; the poll timer calls it.
  void Refresh();

  // Presses a key of the module: types its key into the focused window. The jack keys
  // also insert or remove the jack.
  void Press(ModuleKey key);

  // Device.
  QLabel* stateLamp = nullptr;   // coloured dot of the state
  QLabel* stateLabel = nullptr;  // "On the bus", "In its firmware loader", "Unplugged"
  QLabel* firmwareLabel = nullptr;
  QLabel* serialLabel = nullptr;
  QLabel* jackLabel = nullptr;   // "In" / "Out"
  QPushButton* unplugButton = nullptr;
  QPushButton* replugButton = nullptr;
  // LEDs.
  std::array<LedIndicator*, 2> volumeLeds{};
  LedIndicator* jackLed = nullptr;
  QLabel* volumeLevelLabel = nullptr;
  QLabel* jackLevelLabel = nullptr;
  // Keys.
  QLabel* codeTableLabel = nullptr;
  std::array<QPushButton*, 4> keyButtons{};  // Vol Up, Vol Down, Insert jack, Remove jack
  std::array<QLabel*, 4> keyLabels{};        // what each key types
  // Faults: one check box per twin fault, and "Access denied".
  std::map<sim::EncoderFault, QCheckBox*> faultBoxes;
  QCheckBox* accessDeniedBox = nullptr;
  // The last thing the panel did, or why it did nothing.
  QLabel* statusLine = nullptr;

 private:
  enum class DeviceState { OnBus, InLoader, Unplugged };

  void BuildControls();
  void PlaceBeside(QPointer<QWidget> mainWindow, int triesLeft);
  DeviceState CurrentState() const;
  // The widget a key goes to: the focused one, else the active window, else the one
  // that had the focus last; never the panel. Null when there is none.
  QWidget* KeyTarget() const;
  void Unplug();
  void Replug();
  void SetFault(sim::EncoderFault fault, bool on);
  void SetAccessDenied(bool on);
  void ShowStatus(const QString& text);

  std::shared_ptr<sim::EncoderTwin> encoder_;
  std::shared_ptr<sim::LoaderTwin> loader_;
  QTimer* poll_ = nullptr;
  bool unpluggedByUser_ = false;
  QPointer<QWidget> lastFocus_;
};

// A round LED whose glow follows its level: 0 is off, 9 full brightness.
class LedIndicator : public QWidget {
  Q_OBJECT

 public:
  explicit LedIndicator(QWidget* parent = nullptr);
  void SetLevel(int level);
  int Level() const { return level_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int level_ = 0;
};

}  // namespace pellix_usb_encoder
