#include "app/main_window.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QIcon>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

#include <exception>
#include <vector>

#include "device/device_text.h"
#include "device/encoder_protocol.h"
#include "device/encoder_session.h"
#include "device/hid_transport.h"
#include "firmware/ui/upgrade_window.h"
#include "layout_editor/core/key_code_table.h"
#include "layout_editor/ui/layout_editor_window.h"
#include "selftest/self_test_window.h"
#include "support/ui/media.h"
#include "support/ui/about_window.h"
#include "support/core/config_profile.h"
#include "support/core/ini_file.h"
#include "support/service/platform.h"
#include "support/ui/user_interaction.h"

namespace pellix_usb_encoder {

std::array<uint8_t, 32> Form1::keyCodeArray{};
std::array<QString, 3> Form1::configArray{};

namespace {

constexpr int ClientWidth = 891;
constexpr int ClientHeight = 484;
constexpr int ExtraClientHeight = 40;  // the window may grow this much taller, no wider
constexpr int BrightnessLevels = 10;

const char* const KeypadTypeItems[] = {"Default      ", "Alternate   ", "Customise"};
QString Blanks(int count) { return QString(count, QLatin1Char(' ')); }

// 8-bit text in and out of the encoder and the configuration file. Latin-1 maps every
// byte to one character and back, so nothing is lost either way.
QString FromBytes(const std::string& text) { return QString::fromLatin1(text.data(), qsizetype(text.size())); }

// Shows a combo box's fixed fallback text in place of a selection.
void ShowFallbackText(QComboBox* box, const QString& text) {
  box->setCurrentIndex(-1);
  box->setPlaceholderText(text);
}

// Selects an item from code (which sends nothing); a value outside the list shows the
// fallback text instead.
void SelectItem(QComboBox* box, int index, const QString& fallback) {
  if (index >= 0 && index < box->count()) {
    box->setCurrentIndex(index);
  } else {
    ShowFallbackText(box, fallback);
  }
}

}  // namespace

Form1::Form1() {
  setWindowTitle(QStringLiteral("Orvane Ovitone  Configuration Utility"));
  setWindowIcon(QIcon(QStringLiteral(":/ovitone.png")));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  auto* client = new QWidget(this);
  setCentralWidget(client);
  setMinimumSize(ClientWidth, ClientHeight);
  setMaximumSize(ClientWidth, ClientHeight + ExtraClientHeight);
  resize(ClientWidth, ClientHeight);
  BuildMenus();
  BuildControls();
}

Form1::~Form1() = default;

void Form1::BuildMenus() {
  // The menu bar is a child of the client area, like every other control, so that
  // the controls' positions count from the top of the window.
  menuStrip1 = new QMenuBar(centralWidget());
  menuStrip1->setNativeMenuBar(false);
  menuStrip1->setGeometry(0, 0, ClientWidth, 24);

  helpToolStripMenuItem = menuStrip1->addMenu(QStringLiteral("File"));
  aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem =
      helpToolStripMenuItem->addAction(QStringLiteral("Import Cfg File"));
  exitToolStripMenuItem = helpToolStripMenuItem->addAction(QStringLiteral("Export Cfg File"));
  exitToolStripMenuItem1 = helpToolStripMenuItem->addAction(QStringLiteral("Exit"));
  helpToolStripMenuItem1 = menuStrip1->addMenu(QStringLiteral("Help"));
  aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem1 =
      helpToolStripMenuItem1->addAction(QStringLiteral("About Ovitone  Configuration Utility"));

  connect(aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem, &QAction::triggered, this,
          &Form1::aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem_Click);
  connect(exitToolStripMenuItem, &QAction::triggered, this, &Form1::exitToolStripMenuItem_Click);
  connect(exitToolStripMenuItem1, &QAction::triggered, this, &Form1::exitToolStripMenuItem1_Click);
  connect(aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem1, &QAction::triggered, this,
          &Form1::aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem1_Click);
}

void Form1::BuildControls() {
  QWidget* client = centralWidget();
  const QFont controlFont(QStringLiteral("Microsoft Sans Serif"), 10);

  auto button = [&](const char* text, int x, int y, int w, int h, bool enabled,
                    void (Form1::*handler)()) {
    auto* b = new QPushButton(QString::fromLatin1(text), client);
    b->setGeometry(x, y, w, h);
    b->setFont(controlFont);
    b->setEnabled(enabled);
    connect(b, &QPushButton::clicked, this, handler);
    return b;
  };
  auto combo = [&](int x, int y, int w, int h) {
    auto* c = new QComboBox(client);
    c->setGeometry(x, y, w, h);
    c->setFont(controlFont);
    c->setEnabled(false);
    c->installEventFilter(this);
    return c;
  };

  label1 = new QLabel(QStringLiteral("Orvane Ovitone  Configuration Utility"), client);
  label1->setGeometry(183, 33, 498, 37);
  label1->setAlignment(Qt::AlignCenter);
  QFont titleFont(QStringLiteral("Arial Narrow"), 20, QFont::Bold);
  label1->setFont(titleFont);

  button11 = button("Scan For Device", 27, 82, 125, 67, true, &Form1::button11_Click);

  richTextBox1 = new QTextEdit(client);
  richTextBox1->setGeometry(158, 82, 680, 67);
  richTextBox1->setReadOnly(true);
  richTextBox1->setLineWrapMode(QTextEdit::NoWrap);
  richTextBox1->setFocusPolicy(Qt::NoFocus);
  richTextBox1->setFont(QFont(QStringLiteral("Microsoft Sans Serif"), 12));
  QPalette panelPalette = richTextBox1->palette();
  panelPalette.setColor(QPalette::Text, QColor(0x80, 0x80, 0x80));
  richTextBox1->setPalette(panelPalette);

  ledBrightnessCbox = combo(27, 195, 218, 28);
  jackLedBrightnessCbox = combo(329, 195, 207, 28);
  for (int level = 0; level < BrightnessLevels; ++level) {
    ledBrightnessCbox->addItem(QStringLiteral("Volume LED Brightness - %1").arg(level));
    jackLedBrightnessCbox->addItem(QStringLiteral("JACK LED Brightness - %1").arg(level));
  }
  connect(ledBrightnessCbox, &QComboBox::activated, this,
          &Form1::ledBrightnessCbox_SelectionChangeCommitted);
  connect(jackLedBrightnessCbox, &QComboBox::activated, this,
          &Form1::jackLedBrightnessCbox_SelectionChangeCommitted);

  button2 = button("Test Ovitone", 633, 195, 206, 56, false, &Form1::button2_Click);

  keypadTypeCbox = combo(28, 262, 217, 28);
  for (const char* item : KeypadTypeItems) keypadTypeCbox->addItem(QString::fromLatin1(item));
  ShowFallbackText(keypadTypeCbox, QStringLiteral("Ovitone - Layout"));
  connect(keypadTypeCbox, &QComboBox::activated, this,
          &Form1::keypadTypeCbox_SelectionChangeCommitted);

  button1 = button("Customise Code Table", 28, 294, 217, 61, false, &Form1::button1_Click);
  button3 = button("Reset From Configuration File", 330, 294, 207, 61, true, &Form1::button3_Click);
  button8 = button("Save Changes", 633, 294, 206, 61, false, &Form1::button8_Click);
  btnLoadFirmware = button("Update Ovitone Firmware", 28, 383, 217, 67, true,
                           &Form1::btnLoadFirmware_MouseClick);
  btnLoadFirmware->setFocusPolicy(Qt::NoFocus);  // a mouse click only: keys do nothing
  button9 = button("Reset To Factory Default", 330, 383, 206, 67, false, &Form1::button9_Click);
  button10 = button("Exit", 633, 383, 206, 67, true, &Form1::button10_Click);

  statusStrip1 = new QStatusBar(client);
  statusStrip1->setGeometry(0, 462, ClientWidth, 22);
  statusStrip1->setSizeGripEnabled(false);
}

void Form1::ShowFirstTime() {
  Form1_Load();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  show();
}

// Key presses typed into the settings lists are discarded: only choosing an item
// changes them (typing would otherwise pick an item by its first letter).
bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress &&
      (watched == ledBrightnessCbox || watched == jackLedBrightnessCbox ||
       watched == keypadTypeCbox)) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (!key->text().isEmpty() && key->text().at(0).isPrint()) return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void Form1::Warn(const QString& text) {
  ui::ShowMessage(this, text + QLatin1Char('\n'), QString::fromLatin1(MessageCaption),
                  ui::Buttons::Ok, ui::Icon::Warning);
}

void Form1::Form1_Load() {
  // Without a usable per-user folder there is nowhere to keep the settings: the user is
  // told once, here, and every save then fails with the reason. Nothing is written
  // under "/" or the current folder instead.
  dataFolderProblem_.clear();
  FileName.clear();
  const std::string dataFolder = platform::LocalAppDataFolder(dataFolderProblem_);
  if (!dataFolder.empty()) {
    const char sep = platform::PathSeparator();
    const std::string folder = dataFolder + sep + ConfigFolderName;
    if (!platform::PathExists(folder) && !platform::CreateFolder(folder)) {
      dataFolderProblem_ = "the folder " + folder + " cannot be created";
    }
    FileName = folder + sep + ConfigFileBaseName;
    // A new file: the section and the seven keys, each empty. Failures are silent; the
    // program works without the file.
    if (dataFolderProblem_.empty()) CreateConfigFileIfMissing(FileName);
  }
  if (!dataFolderProblem_.empty()) {
    Warn(QStringLiteral("The settings cannot be saved: ") +
         platform::NameFromCore(dataFolderProblem_) + QLatin1Char('.'));
  }

  Rescan();
  const bool connected = GetDeviceStatusMessage() == 0;
  // Not connected at start-up: the serial number line is written too (still empty).
  if (!connected) configArray[2] = QStringLiteral("Serial Number") + Blanks(15) + serialNumber;
  StatusRefresh(connected, QStringLiteral("JACK LED Brightness"));
}

void Form1::Rescan() {
  const ScanOutcome outcome = ReopenEncoder();
  if (outcome == ScanOutcome::Opened) return;
  QString text = QStringLiteral("Orvane Ovitone  not connected..");
  // The encoder is listed but cannot be opened: most likely the udev rule is missing.
  if (outcome == ScanOutcome::AccessDenied) text += QString::fromStdString(AccessDeniedHint);
  Warn(text);
}

int8_t Form1::GetDeviceStatusMessage() {
  EncoderStatus status;
  if (!ReadEncoderStatus(status)) return -1;

  lastReadSettings_ = EncoderSettings::FromStatus(status);
  prev_volLedBrightness_index = status.volLedBrightness;
  prev_jackLedBrightness_index = status.jackLedBrightness;
  Jack_status = JackInserted(status) ? QStringLiteral("Jack  IN") : QStringLiteral("Jack OUT");
  prev_keypadType_index = status.keypadType;
  std::copy(status.keyCodeTable.begin(), status.keyCodeTable.end(), keyCodeArray.begin());
  firmwareVersion = FromBytes(PrintableDeviceText(status.firmwareVersion));
  serialNumber = FromBytes(PrintableDeviceText(SerialNumberText(status.serialNumber)));
  return 0;
}

void Form1::EnableDisableFunctionButtons(bool btnEnabled) {
  for (QWidget* control : std::initializer_list<QWidget*>{
           ledBrightnessCbox, jackLedBrightnessCbox, keypadTypeCbox, button1, button8, button9,
           button2, button3}) {
    control->setEnabled(btnEnabled);
  }
}

void Form1::SetConnectedLines() {
  const QString keypadText = prev_keypadType_index >= 0 && prev_keypadType_index < keypadTypeCbox->count()
                                 ? keypadTypeCbox->itemText(prev_keypadType_index)
                                 : QString();
  configArray[0] = QStringLiteral("Device Connected") + Blanks(9) + QStringLiteral("Ovitone ") +
                   Blanks(41) + QStringLiteral("Firmware Version") + Blanks(2) +
                   QStringLiteral(":") + Blanks(3) + firmwareVersion;
  configArray[1] = QStringLiteral("Code Table Loaded") + Blanks(7) + keypadText + Blanks(40) +
                   QStringLiteral("Jack Status") + Blanks(12) + QStringLiteral(":") + Blanks(3) +
                   Jack_status;
  configArray[2] = QStringLiteral("Serial Number") + Blanks(15) + serialNumber;
}

void Form1::SetNotConnectedLine() {
  configArray[0] = QStringLiteral("Device Connected   -    ") + QStringLiteral("None") +
                   Blanks(40) + QStringLiteral("Firmware Version") + Blanks(8) +
                   QStringLiteral("-") + Blanks(3) + QStringLiteral("None");
}

void Form1::ShowPanelLines(bool centred) {
  richTextBox1->setPlainText(configArray[0] + QLatin1Char('\n') + configArray[1] +
                             QLatin1Char('\n') + configArray[2]);
  if (!centred) return;
  QTextCursor all(richTextBox1->document());
  all.select(QTextCursor::Document);
  QTextBlockFormat format;
  format.setAlignment(Qt::AlignHCenter);
  all.mergeBlockFormat(format);
}

void Form1::StatusRefresh(bool readOk, const QString& jackFallbackText) {
  if (readOk) {
    EnableDisableFunctionButtons(true);
    SelectItem(ledBrightnessCbox, prev_volLedBrightness_index, QStringLiteral("LED Brightness"));
    SelectItem(jackLedBrightnessCbox, prev_jackLedBrightness_index, jackFallbackText);
    SelectItem(keypadTypeCbox, prev_keypadType_index, QStringLiteral("Keypad - Layout"));
    SetConnectedLines();
    ShowPanelLines();
  } else {
    ShowFallbackText(keypadTypeCbox, QStringLiteral("Keypad - Layout"));
    ShowFallbackText(ledBrightnessCbox, QStringLiteral("LED Brightness"));
    ShowFallbackText(jackLedBrightnessCbox, jackFallbackText);
    SetNotConnectedLine();
    ShowPanelLines();
    EnableDisableFunctionButtons(false);
  }
}

void Form1::button11_Click() {
  Rescan();
  StatusRefresh(GetDeviceStatusMessage() == 0, QStringLiteral("Jack LED Brightness"));
}

void Form1::keypadTypeCbox_SelectionChangeCommitted() {
  const int index = keypadTypeCbox->currentIndex();
  if (SendKeypadType(static_cast<uint8_t>(index)) != ResultOk) {
    Warn(QStringLiteral("Unable to set Keypad Type.."));
    SelectItem(keypadTypeCbox, prev_keypadType_index, QStringLiteral("Keypad - Layout"));
    return;
  }
  prev_keypadType_index = index;
  SetConnectedLines();
  ShowPanelLines(true);
}

void Form1::ledBrightnessCbox_SelectionChangeCommitted() {
  const int index = ledBrightnessCbox->currentIndex();
  if (SendLedLevel(VolumeLedGroup, static_cast<uint8_t>(index)) != ResultOk) {
    Warn(QStringLiteral("Unable to set the VOLUME LED Brightness.."));
    SelectItem(ledBrightnessCbox, prev_volLedBrightness_index, QStringLiteral("LED Brightness"));
    return;
  }
  prev_volLedBrightness_index = index;
}

void Form1::jackLedBrightnessCbox_SelectionChangeCommitted() {
  const int index = jackLedBrightnessCbox->currentIndex();
  if (SendLedLevel(JackLedGroup, static_cast<uint8_t>(index)) != ResultOk) {
    Warn(QStringLiteral("Unable to set the JACK LED Brightness.."));
    SelectItem(jackLedBrightnessCbox, prev_jackLedBrightness_index,
               QStringLiteral("JACK LED Brightness"));
    return;
  }
  prev_jackLedBrightness_index = index;
}

void Form1::button8_Click() {
  if (SendWriteDefault() != ResultOk) {
    Warn(QStringLiteral("Unable to Write Default.."));
    return;
  }
  SaveToConfigFile();
}

void Form1::button9_Click() {
  SendFactoryReset();  // the encoder restarts; its answer does not matter
  platform::SleepMs(3000);
  Rescan();
  StatusRefresh(GetDeviceStatusMessage() == 0, QStringLiteral("Jack LED Brightness"));
}

void Form1::SaveToConfigFile() {
  if (GetDeviceStatusMessage() != 0) {
    Warn(QStringLiteral("Unable to Save Config file."));
    return;
  }
  // All seven keys in one save: the file holds either the new settings or the old ones.
  // The reason names the file; without a data folder it is why there is none.
  std::string problem;
  if (FileName.empty()) {
    problem = dataFolderProblem_;
  } else if (WriteConfigFile(FileName, lastReadSettings_, problem)) {
    return;
  }
  Warn(QStringLiteral("Failed to update USBOvitoneUtilityCfg.ini file.\n") +
       platform::NameFromCore(problem));
}

void Form1::button3_Click() {
  ConfigPlan plan;
  std::string problem;
  switch (ReadConfigPlan(FileName, plan, problem)) {
    case ConfigPlanResult::Ready:
      break;
    case ConfigPlanResult::Malformed:
    case ConfigPlanResult::BadValue:
      // Every value is checked before the first command goes out, so a bad file never
      // leaves the encoder half configured.
      Warn(FromBytes(problem));
      return;
    case ConfigPlanResult::Missing:
    case ConfigPlanResult::NotSaved:
      return;
  }
  const ApplyStep failed = ApplyConfigPlan(plan);
  if (failed != ApplyStep::None) {
    Warn(QString::fromLatin1(ApplyFailureText(failed)));
    if (failed != ApplyStep::KeyTable) {
      SelectItem(keypadTypeCbox, prev_keypadType_index, QStringLiteral("Keypad - Layout"));
    }
    return;
  }
  StatusRefresh(GetDeviceStatusMessage() == 0, QStringLiteral("JACK LED Brightness"));
}

void Form1::aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem_Click() {
  try {
    ui::OpenFileRequest request;
    request.filter = QStringLiteral("(*.ini);;All files (*.ini)");
    request.presetName = QString();  // the dialog opens with no file name filled in
    const QString chosen = ui::AskOpenFile(this, request);
    if (chosen.isEmpty()) return;
    const std::string path = platform::CoreName(chosen);
    if (platform::BaseName(path) != ConfigFileBaseName) {
      Warn(QStringLiteral("Incorrect Filename."));
      return;
    }
    bool complete = CIniFile::SectionExists(ConfigSection, path);
    for (const char* key : ConfigKeys) {
      complete = complete && CIniFile::RecordExists(key, ConfigSection, path);
    }
    if (!complete) {
      Warn(QStringLiteral("File is incorrect format."));
      return;
    }
    if (!platform::CopyFileReplacing(path, FileName)) Warn(QStringLiteral("Failed to copy the new file."));
  } catch (const std::exception&) {
    Warn(QStringLiteral("Exception :Failed to copy the new file."));
  }
}

void Form1::exitToolStripMenuItem_Click() {
  try {
    ui::FolderRequest request;
    request.description = QStringLiteral("Select Folder - To Copy The USBFendalUtilityCfg.ini File");
    request.folder = QDir::homePath();
    const QString folder = ui::AskFolder(this, request);
    if (folder.isEmpty()) {
      Warn(QStringLiteral("Unable to save the cfg file."));
      return;
    }
    const std::string target =
        platform::CoreName(folder) + platform::PathSeparator() + ConfigFileBaseName;
    if (platform::PathExists(target)) {
      const ui::Answer answer = ui::ShowMessage(
          this,
          QStringLiteral("USBOvitoneUtilityCfg.ini file already exists. Do you want to overwrite it?"),
          QStringLiteral("Save USBOvitoneUtilityCfg File"), ui::Buttons::YesNo, ui::Icon::Question);
      if (answer != ui::Answer::Yes) return;
    }
    if (!platform::CopyFileReplacing(FileName, target)) Warn(QStringLiteral("Failed to export the file"));
  } catch (const std::exception&) {
    Warn(QStringLiteral("Exception :Unable to save cfg file."));
  }
}

void Form1::aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem1_Click() {
  auto* window = new about(this);  // owned: it stays in front of the main window
  window->setAttribute(Qt::WA_DeleteOnClose);
  // Centred over the main window. Its frame is not known before it is shown; a dialog's
  // frame is taken to be as thick as the main window's.
  const QSize frame = frameGeometry().size() - size();
  QRect place(QPoint(0, 0), window->size() + frame);
  place.moveCenter(frameGeometry().center());
  window->move(place.topLeft());
  window->show();
}

void Form1::button1_Click() {
  if (GetDeviceStatusMessage() != 0) {
    Warn(QStringLiteral("Load Table-Unable to get device status.."));
    return;
  }
  if (prev_keypadType_index != 2) {  // "Customise"
    Warn(QStringLiteral("Please select a customise table.."));
    return;
  }

  auto* editor = new My4way_layout(this);  // owned by this window, deletes itself on close
  // The picture from the current directory, or the copy built into the program.
  editor->pictureBox1->setPixmap(media::Picture(media::ModulePicture));
  for (PictureButton* key : {editor->key7Btn, editor->key8Btn, editor->key9Btn, editor->key10Btn}) {
    My4way_layout::EmbedButtonInMirkelPicture(key, editor->pictureBox1);
  }

  struct KeySlot {
    PictureButton* button;
    int* modifier;
    int* unlistedModifier;
    int* code;
  };
  const KeySlot keys[] = {
      {editor->key7Btn, &editor->currentM7Code, &editor->unlistedM7Code, &editor->currentK7Code},
      {editor->key8Btn, &editor->currentM8Code, &editor->unlistedM8Code, &editor->currentK8Code},
      {editor->key9Btn, &editor->currentM9Code, &editor->unlistedM9Code, &editor->currentK9Code},
      {editor->key10Btn, &editor->currentM10Code, &editor->unlistedM10Code, &editor->currentK10Code}};
  for (int k = 0; k < 4; ++k) {
    const uint8_t modifier = keyCodeArray[size_t(2 * k)];
    const uint8_t code = keyCodeArray[size_t(2 * k + 1)];
    *keys[k].modifier = ModifierUsageToIndex(modifier);
    // A byte without an entry in the modifier list goes back to the encoder unchanged
    // unless the user picks a modifier for the key.
    *keys[k].unlistedModifier = IsListedModifierUsage(modifier) ? -1 : modifier;
    *keys[k].code = code;
    const char* name = k == 0   ? (code < 16 ? "Vol up " : "Vol Up ")
                       : k == 1 ? "Vol Down "
                       : k == 2 ? "Jack IN  "
                                : "Jack OUT  ";
    keys[k].button->setText(QString::fromLatin1(name) + QString::fromStdString(CodeLabel(code)));
  }
  editor->show();
}

void Form1::button2_Click() {
  if (GetDeviceStatusMessage() != 0) {
    Warn(QStringLiteral("Unable to get device message..Please click on Scan for and try again.."));
    return;
  }
  // Creating the window reads the status again, asks about the microphone and starts
  // the test sequence.
  auto* window = new self_test(this);  // owned: it stays in front of the main window
  selfTestFrm = window;
  window->selfTestFrm1 = window;
  window->pictureBox1->setPixmap(media::Picture(media::ModulePicture));
  window->move(frameGeometry().topLeft());
  window->show();
}

void Form1::btnLoadFirmware_MouseClick() {
  if (ui::ShowMessage(this, QStringLiteral("Are you sure you want to upgrade the firmware?"),
                      QStringLiteral("Firmware Upgrade"), ui::Buttons::YesNo,
                      ui::Icon::Question) != ui::Answer::Yes) {
    return;
  }
  // Without a RAM loader image no unit can be upgraded: the encoder stays as it is.
  if (std::string problem; !FirmwareUpgrader::CheckRamLoader(problem)) {
    Warn(QString::fromStdString(problem));
    return;
  }
  // The settings the upgrade writes back into the encoder once it runs the new firmware.
  UpgradeUnit unit;
  if (GetDeviceStatusMessage() == 0) {
    unit.settings = lastReadSettings_;
    unit.settingsKnown = true;
  } else {
    ui::ShowMessage(this, QStringLiteral("Unable to get device status information\n"),
                    QStringLiteral("Orvane Drossel "), ui::Buttons::Ok, ui::Icon::Warning);
  }

  // The unit is followed by its USB port into its loader and back. Its settings are kept
  // in a recovery record first, so that nothing is lost should the upgrade stop.
  bool sent = false;
  if (hid_handle != nullptr) {
    std::string problem;
    if (!FirmwareUpgrader::PrepareUnit(unit, problem)) {
      Warn(QString::fromStdString(problem));
      return;
    }
    unit.entered = true;  // whatever its answer, the encoder may be on its way
    sent = SendEnterFirmwareUpgrade() == ResultOk;
  }
  // The encoder may have left its normal mode already; the upgrade window finds the
  // loader either way.
  if (!sent) EnableDisableFunctionButtons(false);
  auto* upgrade = new firmware_upgrade(this);  // owned: it stays in front of the main window
  upgrade->setAttribute(Qt::WA_DeleteOnClose);
  upgrade->unit = unit;
  // The status panel shows the new firmware at once, without a scan.
  connect(upgrade, &firmware_upgrade::UpgradeCompleted, this, [this] {
    StatusRefresh(GetDeviceStatusMessage() == 0, QStringLiteral("Jack LED Brightness"));
  });
  upgrade->show();
}

// Closes every other window of the program. A window that refuses (a firmware upgrade
// still running) keeps the program alive: false.
bool Form1::CloseOtherWindows() {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window != this && window->isVisible() && !window->close()) return false;
  }
  return true;
}

void Form1::ExitProgram() {
  if (!CloseOtherWindows()) return;
  CloseEncoder();
  close();
}

void Form1::button10_Click() { ExitProgram(); }

// Closing the main window by its title bar ends the program too (the device is
// released when the process ends), unless another window cannot close yet.
void Form1::closeEvent(QCloseEvent* event) {
  if (!CloseOtherWindows()) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
  // exit(0), not quit(): the other windows are closed already, and quit() would close
  // them once more first, which can hang where the window system answers late (Wine).
  if (event->isAccepted()) QCoreApplication::exit(0);
}
void Form1::exitToolStripMenuItem1_Click() { ExitProgram(); }

}  // namespace pellix_usb_encoder
