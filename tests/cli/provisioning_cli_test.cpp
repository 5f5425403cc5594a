// ovitone-cli run in-process against the encoder twin on the simulated bus: exit codes,
// what each command puts on the wire, and what it refuses to send.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <hidapi/hidapi.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <tuple>

#include <sys/stat.h>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/provisioning_cli.h"
#include "device/encoder_session.h"
#include "device/usb_port.h"
#include "firmware/core/ram_loader.h"
#include "firmware/core/settings_recovery.h"
#include "firmware/service/upgrader.h"
#include "loader/ti_txt.h"
#include "sim/encoder_twin.h"
#include "sim/loader_twin.h"
#include "sim/sim_bus.h"
#include "support/service/platform.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus;
using sim::EncoderFault;
using Bytes = std::vector<uint8_t>;
using Cmds = std::vector<std::pair<int, Bytes>>;
using Args = std::vector<std::string>;

const std::string SampleFirmware = OVITONE_SOURCE_DIR "/resources/firmware/sample_firmware_v1.3.0.txt";
const std::string Advice = AccessDeniedAdvice;

// A configuration file laid out as the program saves it.
std::string Config(const std::string& firstUp, const std::string& layout, const std::string& volume,
                   const std::string& jack, const std::string& table = "225,4,0,5,224,30,0,31,",
                   const std::string& serial = "OV000123", const std::string& version = "V1.2.7") {
  return " [appSettings]\n SerialNumber=" + serial + "\n FirmwareVersion=" + version +
         "\n CodeTableValues=" + table + "\n JackLedBrightness=" + jack +
         "\n VolumeLedBrightness=" + volume + "\n KeypadLayout=" + layout + "\n FirstUp=" + firstUp + "\n";
}

// A request report built by hand: 3F 40 STX, command and length in hex digits, payload,
// ETX, XOR of STX..ETX, zero padding.
Bytes Frame(uint8_t command, const Bytes& payload) {
  const char* hex = "0123456789ABCDEF";
  const size_t n = payload.size();
  Bytes r(64, 0);
  r[0] = 0x3F, r[1] = 0x40, r[2] = 0x02;
  r[3] = uint8_t(hex[command >> 4]), r[4] = uint8_t(hex[command & 15]);
  r[5] = uint8_t(hex[n >> 4]), r[6] = uint8_t(hex[n & 15]);
  std::copy(payload.begin(), payload.end(), r.begin() + 7);
  r[7 + n] = 0x03;
  for (size_t i = 2; i <= 7 + n; ++i) r[8 + n] ^= r[i];
  return r;
}

void ResetUpgraderState() {
  FirmwareUpgrader::myVID.clear();
  FirmwareUpgrader::myPID.clear();
  FirmwareUpgrader::myDeviceIndex = QStringLiteral("0");
}

// A fresh bus on the virtual clock with one encoder, the fixed waits scaled down, and a
// scratch folder; afterwards the encoder is closed and the shared state put back.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    Bus::Instance().Reset();
    Bus::Instance().UseVirtualClock(true);
    platform::SetTimeScale(0.001);
    ResetUpgraderState();
    FirmwareUpgrader::SetRecoveryFolder(Path("config"));
    // Every fixed wait of the program moves the bus clock instead of sleeping.
    platform::SetSleepOverride([](int ms) { Bus::Instance().AdvanceMs(ms); });
    twin_ = sim::PlugEncoder();
  }
  void TearDown() override {
    CloseEncoder();
    Bus::Instance().Reset();
    platform::SetTimeScale(1.0);
    ResetUpgraderState();
    FirmwareUpgrader::SetRecoveryFolder({});
    FirmwareUpgrader::SetRealUnitsForTests(std::nullopt);
    FirmwareUpgrader::SetRamLoaderDataFolders(std::nullopt);
    platform::SetSleepOverride({});
  }
  bool RecoveryPending() const {
    return !LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder()).empty();
  }

  int Cli(const Args& args, cli::Options options = {}) {
    out_.str(""), err_.str("");
    twin_->ClearCommands();
    Bus::Instance().ClearTraffic();
    return cli::Run(args, out_, err_, options);
  }
  Cmds Sent() const {
    Cmds cmds;
    for (const auto& c : twin_->Commands()) cmds.emplace_back(c.command, c.payload);
    return cmds;
  }
  std::string Path(const std::string& name) const { return dir_.filePath(QString::fromStdString(name)).toStdString(); }
  std::string WriteFile(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
    return Path(name);
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string Out() const { return out_.str(); }
  std::string Err() const { return err_.str(); }

  QTemporaryDir dir_;
  std::shared_ptr<sim::EncoderTwin> twin_;
  std::ostringstream out_, err_;
};

sim::EncoderSettings Custom() {
  sim::EncoderSettings s = sim::EncoderTwin::FactorySettings();
  s.volLedBrightness = 4, s.jackLedBrightness = 8, s.keypadType = 2;
  s.keyCodeTable = {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x1E, 0x00, 0x1F};
  return s;
}

TEST_F(CliTest, HelpAndCommandLineMistakes) {
  EXPECT_EQ(Cli({}), 2);
  EXPECT_NE(Err().find("Usage: ovitone-cli"), std::string::npos);
  EXPECT_EQ(Out(), "");

  for (const Args& args : {Args{"--help"}, Args{"-h"}, Args{"set-led", "--help"}}) {
    EXPECT_EQ(Cli(args), 0);
    for (const char* command : {"status", "set-led", "set-keypad", "load-table", "save-defaults", "factory-reset",
                                "apply-config", "export-config", "upgrade-firmware", "--json", "--force"})
      EXPECT_NE(Out().find(command), std::string::npos) << command;
    EXPECT_TRUE(Sent().empty());
  }

  EXPECT_EQ(Cli({"frobnicate"}), 2);
  EXPECT_NE(Err().find("unknown command frobnicate"), std::string::npos);
  for (const Args& args : {Args{"status", "--yaml"}, Args{"save-defaults", "now"}, Args{"factory-reset", "now"},
                           Args{"apply-config"}, Args{"export-config"}, Args{"upgrade-firmware"}})
    EXPECT_EQ(Cli(args), 2) << args[0];
  EXPECT_TRUE(Bus::Instance().Writes().empty());
}

TEST_F(CliTest, StatusShowsTheEncoderAsTextAndJson) {
  twin_->SetSettings(Custom());
  twin_->SetFirmwareVersion("V1.2.9");
  twin_->SetSerialNumber("OV4242");
  twin_->SetJackInserted(true);

  ASSERT_EQ(Cli({"status"}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x01, {}}}));
  EXPECT_EQ(Out(),
            "Firmware version:      V1.2.9\n"
            "Serial number:         OV4242\n"
            "Jack:                  in\n"
            "Code table in use:     custom\n"
            "Volume LED brightness: 4\n"
            "Jack LED brightness:   8\n"
            "Custom code table:\n"
            "  Vol Up    LeftShift  a (0x04)\n"
            "  Vol Down  None       b (0x05)\n"
            "  Jack IN   LeftCtrl   1 (0x1E)\n"
            "  Jack OUT  None       2 (0x1F)\n");

  twin_->SetJackInserted(false);
  sim::EncoderSettings s = Custom();
  s.keypadType = 1, s.volLedBrightness = 0;
  twin_->SetSettings(s);
  ASSERT_EQ(Cli({"status", "--json"}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x01, {}}}));
  const std::string json = Out();
  for (const char* field :
       {"\"connected\": true,", "\"firmware_version\": \"V1.2.9\",", "\"serial_number\": \"OV4242\",",
        "\"jack_inserted\": false,", "\"keypad\": \"alternate\",", "\"keypad_type\": 1,", "\"volume_led\": 0,",
        "\"jack_led\": 8,",
        "{\"key\": \"Vol Up\", \"modifier\": 225, \"usage\": 4, \"modifier_name\": \"LeftShift\", "
        "\"usage_name\": \"a\"},",
        "{\"key\": \"Jack OUT\", \"modifier\": 0, \"usage\": 31, \"modifier_name\": \"None\", "
        "\"usage_name\": \"2\"}\n  ]\n}\n"})
    EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
}

TEST_F(CliTest, StatusWithoutAUsableEncoder) {
  // Refused: the encoder is there but does not answer with its status.
  twin_->InjectFault(EncoderFault::Refuse);
  EXPECT_EQ(Cli({"status"}), 4);
  EXPECT_NE(Err().find("Unable to get device status information"), std::string::npos);
  EXPECT_EQ(Out(), "");

  // Plugged in, but this user may not open it.
  Bus::Instance().SetOpenFails(true);
  EXPECT_EQ(Cli({"status"}), 3);
  EXPECT_NE(Err().find(Advice), std::string::npos) << Err();
  EXPECT_EQ(Cli({"status", "--json"}), 3);
  EXPECT_EQ(Out(), "{\n  \"connected\": false\n}\n");
  Bus::Instance().SetOpenFails(false);

  Bus::Instance().Unplug(*twin_);
  EXPECT_EQ(Cli({"status"}), 3);
  EXPECT_NE(Err().find("not connected"), std::string::npos);
  EXPECT_EQ(Err().find(Advice), std::string::npos);
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(Cli({"status", "--json"}), 3);
  EXPECT_EQ(Out(), "{\n  \"connected\": false\n}\n");
  EXPECT_TRUE(Bus::Instance().Writes().empty());
}

TEST_F(CliTest, SetLedAndSetKeypadSendOneCommandEach) {
  ASSERT_EQ(Cli({"set-led", "volume", "5"}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x02, {0x00, 5}}}));
  const auto writes = Bus::Instance().Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].bytes, Frame(0x02, {0x00, 5}));
  EXPECT_EQ(writes[0].interfaceNumber, 1);

  EXPECT_EQ(Cli({"set-led", "JACK", "9"}), 0);
  EXPECT_EQ(Sent(), Cmds({{0x02, {0x01, 9}}}));
  EXPECT_EQ(Cli({"set-led", "jack", "0"}), 0);
  EXPECT_EQ(Sent(), Cmds({{0x02, {0x01, 0}}}));
  EXPECT_EQ(twin_->Settings().volLedBrightness, 5);
  EXPECT_EQ(twin_->Settings().jackLedBrightness, 0);

  for (const Args& args : {Args{"set-led", "volume", "10"}, Args{"set-led", "volume", "-1"},
                           Args{"set-led", "jack", "x"}, Args{"set-led", "jack", ""}, Args{"set-led", "foo", "3"},
                           Args{"set-led", "volume"}, Args{"set-led", "volume", "3", "4"}}) {
    EXPECT_EQ(Cli(args), 2) << args[1] << " " << (args.size() > 2 ? args[2] : "");
    EXPECT_TRUE(Bus::Instance().Writes().empty());
  }

  twin_->InjectFault(EncoderFault::Refuse);
  EXPECT_EQ(Cli({"set-led", "volume", "1"}), 4);
  EXPECT_NE(Err().find("Unable to set the VOLUME LED Brightness.."), std::string::npos);
  EXPECT_EQ(twin_->Settings().volLedBrightness, 5);

  const std::pair<const char*, uint8_t> keypads[] = {{"default", 0}, {"alternate", 1}, {"custom", 2}, {"Custom", 2}};
  for (const auto& [name, type] : keypads) {
    EXPECT_EQ(Cli({"set-keypad", name}), 0) << name;
    EXPECT_EQ(Sent(), Cmds({{0x07, {type}}})) << name;
    EXPECT_EQ(twin_->Settings().keypadType, type);
  }
  for (const Args& args : {Args{"set-keypad", "qwerty"}, Args{"set-keypad", "3"}, Args{"set-keypad"}}) {
    EXPECT_EQ(Cli(args), 2);
    EXPECT_TRUE(Bus::Instance().Writes().empty());
  }
  twin_->InjectFault(EncoderFault::Refuse);
  EXPECT_EQ(Cli({"set-keypad", "default"}), 4);
  EXPECT_NE(Err().find("Unable to set Keypad Type.."), std::string::npos);
  EXPECT_EQ(twin_->Settings().keypadType, 2);
}

TEST_F(CliTest, LoadTableTakesNamesNumbersAndModifiers) {
  ASSERT_EQ(Cli({"load-table", "LeftCtrl:a", "0xE1:0x68", "F13", "rightgui:VolumeDown"}), 0) << Err();
  const Bytes table = {0xE0, 0x04, 0xE1, 0x68, 0x00, 0x68, 0xE7, 0x81};
  EXPECT_EQ(Sent(), Cmds({{0x05, table}}));
  EXPECT_EQ(Bus::Instance().Writes().at(0).bytes, Frame(0x05, table));
  const auto loaded = twin_->Settings().keyCodeTable;
  EXPECT_EQ(Bytes(loaded.begin(), loaded.end()), table);

  // A digit is its key (as status prints it), not a usage number.
  ASSERT_EQ(Cli({"load-table", "None:4", "0x05", "RightShift:f14", "LeftAlt:0x00"}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x05, {0x00, 0x21, 0x00, 0x05, 0xE5, 0x69, 0xE2, 0x00}}}));

  for (const Args& args : {Args{"load-table", "a", "b", "c", "NoSuchKey"}, Args{"load-table", "Hyper:a", "b", "c", "d"},
                           Args{"load-table", "a", "0x100", "c", "d"}, Args{"load-table", "a", "b", "LeftCtrl:", "d"},
                           Args{"load-table", "a", "b", "c"}, Args{"load-table", "a", "b", "c", "d", "e"},
                           Args{"load-table", "0x05:a", "b", "c", "d"}, Args{"load-table", "0xE8:a", "b", "c", "d"}}) {
    EXPECT_EQ(Cli(args), 2) << args.back();
    EXPECT_TRUE(Bus::Instance().Writes().empty());
  }
  Cli({"load-table", "a", "b", "c", "NoSuchKey"});
  EXPECT_NE(Err().find("Jack OUT: unknown key NoSuchKey"), std::string::npos) << Err();
  Cli({"load-table", "Hyper:a", "b", "c", "d"});
  EXPECT_NE(Err().find("Vol Up: unknown modifier Hyper"), std::string::npos) << Err();

  twin_->InjectFault(EncoderFault::Refuse);
  EXPECT_EQ(Cli({"load-table", "a", "b", "c", "d"}), 4);
  EXPECT_NE(Err().find("Unable to Load Table.."), std::string::npos);
}

TEST_F(CliTest, SaveDefaultsAndFactoryReset) {
  twin_->SetSettings(Custom());
  ASSERT_EQ(Cli({"save-defaults"}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x09, {}}}));
  EXPECT_EQ(twin_->Defaults(), Custom());
  twin_->InjectFault(EncoderFault::Refuse);
  EXPECT_EQ(Cli({"save-defaults"}), 4);
  EXPECT_NE(Err().find("Unable to Write Default.."), std::string::npos);

  // The encoder restarts and comes back within the 3000 ms wait.
  twin_->SetRejoinDelayMs(2500);
  ASSERT_EQ(Cli({"factory-reset"}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x0A, {}}, {0x01, {}}}));
  EXPECT_EQ(twin_->FactoryResetCount(), 1);
  EXPECT_EQ(twin_->Settings(), sim::EncoderTwin::FactorySettings());
  EXPECT_EQ(twin_->Defaults(), sim::EncoderTwin::FactorySettings());
  EXPECT_TRUE(Bus::Instance().IsPlugged(*twin_));

  twin_->SetRejoinDelayMs(10'000'000);  // this time it stays away
  EXPECT_EQ(Cli({"factory-reset"}), 3);
  EXPECT_NE(Err().find("did not come back"), std::string::npos);

  // A refused or unanswered reset is no reset.
  Bus::Instance().Plug(twin_);
  for (EncoderFault fault : {EncoderFault::Refuse, EncoderFault::Silence}) {
    twin_->InjectFault(fault);
    EXPECT_EQ(Cli({"factory-reset"}), 4);
    EXPECT_NE(Err().find("did not accept the factory reset"), std::string::npos) << Err();
    EXPECT_EQ(Out(), "");
  }
  EXPECT_EQ(twin_->FactoryResetCount(), 2);  // the two accepted ones above
  Bus::Instance().Unplug(*twin_);

  EXPECT_EQ(Cli({"save-defaults"}), 3);
  EXPECT_EQ(Cli({"factory-reset"}), 3);
  EXPECT_TRUE(Bus::Instance().Writes().empty());
}

TEST_F(CliTest, ApplyConfigSendsTheFileInOrder) {
  const std::string file = WriteFile("cfg.ini", Config("Yes", "2", "4", "8"));
  ASSERT_EQ(Cli({"apply-config", file}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x07, {2}}, {0x05, {225, 4, 0, 5, 224, 30, 0, 31}}, {0x02, {0, 4}}, {0x02, {1, 8}}}));
  EXPECT_EQ(twin_->Settings(), Custom());
  EXPECT_EQ(twin_->Defaults(), sim::EncoderTwin::FactorySettings());  // applied, not saved

  // A fixed layout sends no table.
  WriteFile("cfg.ini", Config("Yes", "0", "3", "1", "9,9,9,"));
  ASSERT_EQ(Cli({"apply-config", file}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x07, {0}}, {0x02, {0, 3}}, {0x02, {1, 1}}}));

  // A refused step stops the sequence there and is named.
  WriteFile("cfg.ini", Config("Yes", "2", "4", "8"));
  const char* steps[] = {"Unable to set Keypad Type..", "Unable to Load Table..",
                         "Unable to set Volume KeyLED Brightness..", "Unable to set Jack LED Brightness.."};
  for (int step = 0; step < 4; ++step) {
    for (int i = 0; i < step; ++i) twin_->InjectFault(EncoderFault::AckStream);  // late, but answered
    twin_->InjectFault(EncoderFault::Refuse);
    EXPECT_EQ(Cli({"apply-config", file}), 4) << step;
    EXPECT_NE(Err().find(steps[step]), std::string::npos) << Err();
    EXPECT_EQ(Sent().size(), size_t(step + 1));
  }
}

TEST_F(CliTest, ApplyConfigRefusesUnusableFilesBeforeTheEncoderHearsAnything) {
  const std::pair<std::string, std::string> files[] = {
      {"[appSettings\nFirstUp=Yes\n", "Unable to read bad.ini file."},
      {Config("Yes", "two", "1", "1"), "KeypadLayout in bad.ini is not a number."},
      {Config("Yes", "0", "", "1"), "VolumeLedBrightness in bad.ini is not a number."},
      {Config("Yes", "1", "1", "7x"), "JackLedBrightness in bad.ini is not a number."},
      {Config("Yes", "2", "1", "1", "1,2,3,4,5,6,7,"), "CodeTableValues in bad.ini does not hold eight numbers."},
      {Config("Yes", "2", "1", "1", "1,2,3,x,5,6,7,8,"), "CodeTableValues in bad.ini does not hold eight numbers."},
      // Values are sent as one byte each: one that does not fit is refused, not wrapped.
      {Config("Yes", "1", "265", "1"), "VolumeLedBrightness in bad.ini is 265, which does not fit one byte (0 to 255)."},
      {Config("Yes", "-1", "1", "1"), "KeypadLayout in bad.ini is -1, which does not fit one byte (0 to 255)."},
      {Config("Yes", "2", "1", "1", "1,2,3,256,5,6,7,8,"), "CodeTableValues in bad.ini holds 256, which does not fit one byte"},
      {std::string(1024 * 1024 + 1, '#'), "bad.ini is larger than 1 MiB; it cannot be a configuration file."},
      {Config("No", "1", "1", "1"), "FirstUp is not Yes"},
      {" [appSettings]\n KeypadLayout=1\n VolumeLedBrightness=1\n JackLedBrightness=1\n", "FirstUp is not Yes"},
  };
  for (const auto& [text, message] : files) {
    const std::string file = WriteFile("bad.ini", text);
    EXPECT_EQ(Cli({"apply-config", file}), 2) << message;
    EXPECT_NE(Err().find(message), std::string::npos) << Err();
    EXPECT_TRUE(Bus::Instance().Writes().empty()) << message;
  }
  // A FIFO would block a reader for ever; it is refused at once.
  ASSERT_EQ(mkfifo(Path("fifo.ini").c_str(), 0600), 0);
  EXPECT_EQ(Cli({"apply-config", Path("fifo.ini")}), 2);
  EXPECT_NE(Err().find("fifo.ini is not a regular file"), std::string::npos) << Err();
  EXPECT_EQ(Cli({"apply-config", Path("missing.ini")}), 2);
  EXPECT_NE(Err().find("Unable to read " + Path("missing.ini")), std::string::npos) << Err();
  EXPECT_TRUE(Bus::Instance().Writes().empty());
  EXPECT_EQ(twin_->Settings(), sim::EncoderTwin::FactorySettings());

  // A byte-order mark before the first line is no part of it.
  EXPECT_EQ(Cli({"apply-config", WriteFile("bom.ini", "\xEF\xBB\xBF" + Config("Yes", "1", "3", "4"))}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x07, {1}}, {0x02, {0, 3}}, {0x02, {1, 4}}}));

  // A good file without an encoder.
  Bus::Instance().Unplug(*twin_);
  EXPECT_EQ(Cli({"apply-config", WriteFile("good.ini", Config("Yes", "1", "1", "1"))}), 3);
}

TEST_F(CliTest, ExportConfigWritesWhatApplyConfigReadsBack) {
  twin_->SetSettings(Custom());
  twin_->SetFirmwareVersion("V1.2.9");
  const std::string file = Path("export.ini");
  ASSERT_EQ(Cli({"export-config", file}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x01, {}}}));
  const std::string exported = Config("Yes", "2", "4", "8", "225,4,0,5,224,30,0,31,", "OV000123", "V1.2.9");
  EXPECT_EQ(ReadFile(file), exported);

  // An existing file stays as it is without --force.
  twin_->SetSettings(sim::EncoderTwin::FactorySettings());
  EXPECT_EQ(Cli({"export-config", file}), 2);
  EXPECT_NE(Err().find("--force"), std::string::npos);
  EXPECT_TRUE(Bus::Instance().Writes().empty());
  EXPECT_EQ(ReadFile(file), exported);
  EXPECT_EQ(Cli({"export-config", dir_.path().toStdString()}), 2);  // a folder
  EXPECT_TRUE(Bus::Instance().Writes().empty());

  // The encoder now at factory settings gets the exported ones back.
  ASSERT_EQ(Cli({"apply-config", file}), 0) << Err();
  EXPECT_EQ(twin_->Settings(), Custom());

  twin_->SetSettings(sim::EncoderTwin::FactorySettings());
  twin_->SetSerialNumber("");
  ASSERT_EQ(Cli({"export-config", "--force", file}), 0) << Err();
  EXPECT_EQ(ReadFile(file), Config("Yes", "0", "6", "6", "0,128,0,129,0,104,0,105,", " No Serial Number", "V1.2.9"));
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"export.ini"});

  // Text from the encoder cannot add a line to the file, nor reach the terminal raw.
  twin_->SetSettings(Custom());
  twin_->SetFirmwareVersion("V1\nKeypadLayout=7");
  twin_->SetSerialNumber("OV\x1b[2J12");
  ASSERT_EQ(Cli({"export-config", "--force", file}), 0) << Err();
  EXPECT_EQ(ReadFile(file), Config("Yes", "2", "4", "8", "225,4,0,5,224,30,0,31,", "OV?[2J12", "V1?KeypadLayout=7"));
  ASSERT_EQ(Cli({"status"}), 0);
  EXPECT_NE(Out().find("Firmware version:      V1?KeypadLayout=7\nSerial number:         OV?[2J12\n"),
            std::string::npos) << Out();
  twin_->SetSettings(sim::EncoderTwin::FactorySettings());
  ASSERT_EQ(Cli({"apply-config", file}), 0) << Err();
  EXPECT_EQ(twin_->Settings().keypadType, 2);

  twin_->InjectFault(EncoderFault::Refuse);
  EXPECT_EQ(Cli({"export-config", Path("other.ini")}), 4);
  EXPECT_EQ(ReadFile(Path("other.ini")), "<missing>");
  Bus::Instance().Unplug(*twin_);
  EXPECT_EQ(Cli({"export-config", Path("other.ini")}), 3);
  EXPECT_EQ(ReadFile(Path("other.ini")), "<missing>");
}

TEST_F(CliTest, UpgradeFirmwareProgramsTheImageAndRestoresTheSettings) {
  auto loader = sim::AttachLoaderTo(twin_);
  twin_->SetSettings(Custom());  // not saved: the restart alone would lose them

  ASSERT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 0) << Err();
  EXPECT_EQ(twin_->FirmwareVersion(), "V1.3.0");
  EXPECT_EQ(twin_->Settings(), Custom());
  EXPECT_EQ(twin_->Defaults(), Custom());
  EXPECT_EQ(twin_->SerialNumber(), "OV000123");
  EXPECT_EQ(Sent(), Cmds({{0x01, {}},
                          {0x0C, {}},
                          {0x0E, {'O', 'V', '0', '0', '0', '1', '2', '3'}},
                          {0x07, {2}},
                          {0x05, {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x1E, 0x00, 0x1F}},
                          {0x02, {0, 4}},
                          {0x02, {1, 8}},
                          {0x09, {}},
                          {0x01, {}}}));
  EXPECT_EQ(Out(), "Firmware upgraded to V1.3.0; settings restored.\n");
  EXPECT_NE(Err().find("Encoder found on USB port 1-1: firmware V1.2.7, serial number OV000123."), std::string::npos) << Err();
  EXPECT_NE(Err().find("[ 85%] Memory successfully verified"), std::string::npos) << Err();

  TiTxtImage image;
  std::string error;
  ASSERT_TRUE(TiTxtParseFile(SampleFirmware, image, error)) << error;
  for (const auto& run : image.runs) EXPECT_EQ(loader->ReadRange(run.address, run.bytes.size()), run.bytes);
  EXPECT_FALSE(RecoveryPending());  // restored, so nothing is kept
}

// Units are told apart by their USB port: a second unit waiting in its loader is never
// programmed in another's place, and with two encoders nothing changes without --device.
TEST_F(CliTest, UnitsAreChosenByPortOrSerialAndNeverMixedUp) {
  auto loaderA = sim::AttachLoaderTo(twin_);
  auto loaderB = std::make_shared<sim::LoaderTwin>();
  Bus::Instance().Plug(loaderB);
  twin_->SetSettings(Custom());
  const Bytes flashB = loaderB->ReadRange(0x4400, 0x200);
  ASSERT_EQ(twin_->UsbPort(), "1-1");
  ASSERT_EQ(loaderB->UsbPort(), "1-2");

  ASSERT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 0) << Err();
  EXPECT_EQ(twin_->FirmwareVersion(), "V1.3.0");
  EXPECT_EQ(twin_->Settings(), Custom());
  EXPECT_FALSE(loaderA->Commands().empty());
  EXPECT_TRUE(loaderB->Commands().empty());
  EXPECT_EQ(loaderB->ReadRange(0x4400, 0x200), flashB);

  auto other = sim::PlugEncoder();
  other->SetSerialNumber("OV999999");
  ASSERT_EQ(Cli({"list"}), 0);
  EXPECT_EQ(Out(),
            "PORT        STATE              SERIAL NUMBER   FIRMWARE    SETTINGS\n"
            "1-1         encoder            OV000123        V1.3.0      \n"
            "1-3         encoder            OV999999        V1.2.7      \n"
            "1-2         firmware loader    -               -           \n");
  ASSERT_EQ(Cli({"list", "--json"}), 0);
  EXPECT_NE(Out().find("{\"port\": \"1-2\", \"state\": \"loader\", \"serial_number\": \"\", "
                       "\"firmware_version\": \"\", \"pending_recovery\": false}"),
            std::string::npos) << Out();

  // Changing anything needs a choice; reading does not.
  for (const Args& args : {Args{"set-led", "volume", "3"}, Args{"upgrade-firmware", SampleFirmware}}) {
    EXPECT_EQ(Cli(args), 2);
    EXPECT_NE(Err().find("2 encoders are attached; choose one with --device PORT|SERIAL:\n  1-1  encoder\n  1-3  encoder\n"),
              std::string::npos) << Err();
    EXPECT_TRUE(Bus::Instance().Writes().empty());
  }
  EXPECT_EQ(Cli({"--device", "1-3", "set-led", "volume", "3"}), 0) << Err();
  EXPECT_EQ(Cli({"set-keypad", "alternate", "--device=OV999999"}), 0) << Err();
  EXPECT_EQ(other->Settings().volLedBrightness, 3);
  EXPECT_EQ(other->Settings().keypadType, 1);
  EXPECT_EQ(twin_->Settings(), Custom());
  EXPECT_EQ(Cli({"--device", "1-9", "status"}), 3);
  EXPECT_EQ(Cli({"--device", "1-2", "status"}), 3);
  EXPECT_NE(Err().find("is waiting in its firmware loader"), std::string::npos) << Err();
}

// A failure anywhere in the loader phase leaves the unit in its loader; the retry finds
// no status to read, and writes back the settings kept before the first attempt.
TEST_F(CliTest, RetryAfterAFailedUpgradeRestoresTheUsersSettings) {
  // Pulled out after so many reports of the loader phase, or a CRC check unanswered.
  const std::vector<std::pair<std::string, int>> unplugs = {
      {"first password", 1}, {"RAM loader transfer", 20}, {"programming", 120}};
  std::vector<std::string> stages;
  for (const auto& u : unplugs) stages.push_back(u.first);
  stages.push_back("verification");

  for (const std::string& stage : stages) {
    SCOPED_TRACE(stage);
    TearDown();
    SetUp();
    auto loader = sim::AttachLoaderTo(twin_);
    twin_->SetSettings(Custom());  // the user's settings, never saved as defaults
    const auto unplug = std::find_if(unplugs.begin(), unplugs.end(),
                                     [&](const auto& u) { return u.first == stage; });
    if (unplug != unplugs.end()) {
      twin_->SetOnEnterFirmwareUpgrade([loader, reports = unplug->second](sim::WriteContext&) {
        loader->UnplugAfterReports(reports);
        Bus::Instance().PlugAfter(loader, 100);
      });
      loader->SetUsbPort(twin_->UsbPort());
    } else {
      loader->SetCrcSilent(true);
    }

    EXPECT_NE(Cli({"upgrade-firmware", SampleFirmware}), 0);
    EXPECT_NE(Err().find("the next upgrade will restore them"), std::string::npos) << Err();
    EXPECT_TRUE(RecoveryPending());
    EXPECT_FALSE(Bus::Instance().IsPlugged(*twin_));

    // The unit is put back as it is: still in its loader.
    if (!Bus::Instance().IsPlugged(*loader)) Bus::Instance().Plug(loader);
    loader->SetCrcSilent(false);
    ASSERT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 0) << Err();
    EXPECT_NE(Err().find("already in its firmware loader"), std::string::npos) << Err();
    EXPECT_EQ(twin_->FirmwareVersion(), "V1.3.0");
    EXPECT_EQ(twin_->Settings(), Custom());
    EXPECT_EQ(twin_->Defaults(), Custom());
    EXPECT_FALSE(RecoveryPending());
  }
}

// Four units upgraded at once, each by a worker of its own on the real clock: one loader
// refuses every password, one unit is pulled out while it is programmed; the other two
// finish, the table tells each unit's result, and no unit gets another's firmware,
// settings or serial number.
TEST_F(CliTest, AllUnitsAtOnceEachFollowingItsOwnPort) {
  platform::SetSleepOverride({});
  Bus::Instance().UseVirtualClock(false);
  platform::SetTimeScale(0.15);
  std::vector<std::shared_ptr<sim::EncoderTwin>> twins{twin_};
  for (int i = 1; i < 4; ++i) twins.push_back(sim::PlugEncoder());
  std::vector<std::shared_ptr<sim::LoaderTwin>> loaders;
  for (size_t i = 0; i < twins.size(); ++i) {
    twins[i]->SetSerialNumber("OV00000" + std::to_string(i));
    sim::EncoderSettings s = Custom();
    s.volLedBrightness = uint8_t(i + 1);
    twins[i]->SetSettings(s);
    loaders.push_back(sim::AttachLoaderTo(twins[i]));
  }
  loaders[1]->SetRefusePasswords(true);
  twins[2]->SetOnEnterFirmwareUpgrade([loader = loaders[2], port = twins[2]->UsbPort()](sim::WriteContext&) {
    loader->SetUsbPort(port);
    loader->UnplugAfterReports(120);
    Bus::Instance().PlugAfter(loader, 100);
  });

  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware, "--all"}), 4);
  EXPECT_NE(Err().find("Working on 4 encoders at once."), std::string::npos) << Err();
  EXPECT_NE(Err().find("[1-1] [ 85%] Memory successfully verified"), std::string::npos) << Err();
  EXPECT_NE(Err().find("[1-2] [ 10%] Password FAILED!"), std::string::npos) << Err();
  const std::string table = Out().substr(Out().find("PORT"));
  for (const char* row : {"1-1         OV000000          done", "1-2         OV000001          refused or failed",
                          "1-3         OV000002          refused or failed", "1-4         OV000003          done"})
    EXPECT_NE(table.find(row), std::string::npos) << row << "\n" << table;
  for (size_t i : {0u, 3u}) {
    EXPECT_EQ(twins[i]->FirmwareVersion(), "V1.3.0");
    EXPECT_EQ(twins[i]->SerialNumber(), "OV00000" + std::to_string(i));
    EXPECT_EQ(twins[i]->Settings().volLedBrightness, i + 1);
    EXPECT_EQ(twins[i]->Defaults().volLedBrightness, i + 1);
  }
  for (size_t i : {1u, 2u}) EXPECT_FALSE(Bus::Instance().IsPlugged(*twins[i]));
  // The two that failed keep their own settings for the next upgrade, and only theirs.
  const auto kept = LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder());
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].port, "1-2");
  EXPECT_EQ(kept[0].settings.serialNumber, "OV000001");
  EXPECT_EQ(kept[1].settings.volumeLed, 3);

  // Commands that are not for every unit, or a unit named as well, are refused.
  EXPECT_EQ(Cli({"status", "--all"}), 2);
  EXPECT_EQ(Cli({"set-led", "volume", "3", "--all", "--device", "1-1"}), 2);
}

TEST_F(CliTest, UpgradeFirmwareRefusesBadFilesAndAMissingEncoder) {
  sim::AttachLoaderTo(twin_);
  const std::string files[] = {WriteFile("garbage.txt", "this is not firmware\n"), WriteFile("empty.txt", ""),
                               WriteFile("no_data.txt", "q\n"), Path("nonexistent.txt"),
                               WriteFile("ram.txt", "@2400\n01\n@FFFE\n00 44\nq\n"),
                               WriteFile("no_vector.txt", "@4400\n01 02\nq\n"),
                               WriteFile("words.txt", "@4400\n0102 0304\n@FFFE\n00 44\nq\n"),
                               WriteFile("twice.txt", "@FFFE\n00 44\n@FFFF\n44\nq\n"),
                               Path("bad-\xff-name.txt"), "/dev/zero"};
  for (const std::string& file : files) {
    EXPECT_EQ(Cli({"upgrade-firmware", file}), 2) << file;
    EXPECT_FALSE(Err().empty());
    EXPECT_TRUE(Bus::Instance().Writes().empty()) << file;
  }
  EXPECT_EQ(twin_->FirmwareVersion(), "V1.2.7");
  EXPECT_FALSE(twin_->InFirmwareUpgrade());

  // An encoder that never brings up its loader.
  twin_->SetOnEnterFirmwareUpgrade({});
  cli::Options impatient;
  impatient.loaderWaitMs = 300;
  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware}, impatient), 3);
  EXPECT_EQ(Sent(), Cmds({{0x01, {}}, {0x0C, {}}}));
  EXPECT_NE(Err().find("did not appear"), std::string::npos) << Err();

  Bus::Instance().Unplug(*twin_);
  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 3);
  EXPECT_NE(Err().find("not connected"), std::string::npos) << Err();
  EXPECT_TRUE(Bus::Instance().Writes().empty());
}

// A made-up RAM loader image: version bytes, code at the entry marked with `mark`, and
// the second run the loader twin looks for before it starts an image.
std::string RamImage(uint8_t mark, const std::string& version = "00 06 05 34", const std::string& more = "") {
  char code[8];
  std::snprintf(code, sizeof code, "%02X", mark);
  std::string second;
  for (int i = 0; i < 16; ++i) second += std::string(code) + " ";
  return "@2500\n" + version + " " + code + " 40 00 44\n@2576\n" + second + "\n" + more + "q\n";
}

// The mark of the RAM loader image that reached the loader: the entry's first byte in
// the first fast write to 0x2500.
int SentRamImageMark() {
  for (const auto& w : Bus::Instance().Writes())
    if (w.bytes.size() > 10 && w.bytes[2] == 0x1B && w.bytes[3] == 0x00 && w.bytes[4] == 0x25 && w.bytes[5] == 0x00)
      return w.bytes[10];
  return -1;
}

// A real unit is only ever sent the vendor's RAM loader: the first image found (named,
// in the configuration folder, in the data folder) is checked, used, or refused with its
// reason; without one, nothing is sent and the user learns where to put it.
TEST_F(CliTest, RealUnitsGetTheRamLoaderFoundOrNothing) {
  auto loader = sim::AttachLoaderTo(twin_);
  FirmwareUpgrader::SetRealUnitsForTests(true);
  FirmwareUpgrader::SetRamLoaderDataFolders(std::vector<std::string>{Path("share")});
  QDir(dir_.path()).mkpath("config"), QDir(dir_.path()).mkpath("share");
  const std::string inConfig = Path("config/RAM_BSL.00.06.05.34.txt"), inShare = Path("share/RAM_BSL.00.06.05.34.txt");

  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 2);
  for (const std::string& part : {std::string("No RAM loader image was found; a real encoder cannot be upgraded without one. "),
                                  std::string("under a BSD licence, in its MSP430 USB bootstrap-loader (BSL) packages"),
                                  "Save it as " + inConfig + ", or as " + inShare + " for every user",
                                  std::string("--ram-loader FILE. Nothing was sent.\n")})
    EXPECT_NE(Err().find(part), std::string::npos) << part << "\n" << Err();
  EXPECT_TRUE(Bus::Instance().Writes().empty());

  const std::string cannot = "The RAM loader image ";
  const std::pair<std::string, std::string> rejected[] = {
      {WriteFile("high.txt", RamImage(1, "00 06 05 34", "@4400\n01\n")), "the byte at 0x4400 lies outside RAM (0x2400-0x43FF), where a RAM loader has to be"},
      {WriteFile("low.txt", "@23FF\n01\n" + RamImage(1)), "the byte at 0x23FF lies outside RAM"},
      {WriteFile("across.txt", "@43FF\n01 02\n" + RamImage(1)), "the byte at 0x4400 lies outside RAM"},
      {WriteFile("short.txt", "@2502\n05 34 31 40\nq\n"), "there are no version bytes at 0x2500-0x2503"},
      {WriteFile("version.txt", RamImage(1, "00 07 08 38")), "the version bytes at 0x2500 are 00 07 08 38, not 00 06 05 34 (RAM loader 00.06.05.34)"},
      {WriteFile("noentry.txt", "@2500\n00 06 05 34\nq\n"), "there is no code at its entry point 0x2504"},
      {WriteFile("erased.txt", "@2500\n00 06 05 34 FF FF\nq\n"), "there is no code at its entry point 0x2504"},
      {WriteFile("text.txt", "RAM loader\n"), "it is not a TI-TXT image (line 1: "},
      {WriteFile("empty.txt", "q\n"), "the image holds no data"},
      {Path("missing.txt"), "there is no such file"},
      {Path("share"), "it is not a regular file"},
  };
  for (const auto& [file, reason] : rejected) {
    EXPECT_EQ(Cli({"--ram-loader", file, "upgrade-firmware", SampleFirmware}), 2) << file;
    EXPECT_NE(Err().find(cannot + file + " cannot be used: " + reason), std::string::npos) << Err();
    EXPECT_TRUE(Bus::Instance().Writes().empty()) << file;
  }
  // A broken image in the configuration folder is reported, not passed over.
  WriteFile("share/RAM_BSL.00.06.05.34.txt", RamImage(3));
  WriteFile("config/RAM_BSL.00.06.05.34.txt", RamImage(2, "00 06 05 33"));
  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 2);
  EXPECT_NE(Err().find(cannot + inConfig + " cannot be used: the version bytes"), std::string::npos) << Err();

  // Named, then the configuration folder, then the data folder: the one found is sent.
  const std::tuple<Args, std::string, int> found[] = {
      {{"--ram-loader=" + WriteFile("named.txt", RamImage(1))}, Path("named.txt"), 1},
      {{}, inConfig, 2},
      {{}, inShare, 3}};
  for (const auto& [option, source, mark] : found) {
    if (mark == 2) WriteFile("config/RAM_BSL.00.06.05.34.txt", RamImage(2));
    if (mark == 3) QFile::remove(QString::fromStdString(inConfig));
    Args args = option;
    args.insert(args.end(), {"upgrade-firmware", SampleFirmware});
    ASSERT_EQ(Cli(args), 0) << Err();
    EXPECT_NE(Err().find("RAM loader 00.06.05.34: " + source + ".\n"), std::string::npos) << Err();
    EXPECT_EQ(SentRamImageMark(), mark);
    EXPECT_EQ(twin_->FirmwareVersion(), "V1.3.0");
  }

  // An image built into the program comes last, and is checked like the others.
  RamLoaderPlaces places{"", {Path("nowhere")}, RamImage(4)};
  std::string text, source, problem;
  EXPECT_EQ(FindRamLoader(places, text, source, problem), RamLoaderSearch::Found);
  EXPECT_EQ(text, RamImage(4));
  places.builtIn = "@2500\n00 06 05 34\nq\n";
  EXPECT_EQ(FindRamLoader(places, text, source, problem), RamLoaderSearch::Rejected);
  EXPECT_EQ(problem, "The RAM loader image built into this program cannot be used: there is no code at its entry point 0x2504.");
}

// The trace holds every report of the run, both ways, as the bus carried it.
TEST_F(CliTest, TraceRecordsEveryReportAsTheBusCarriedIt) {
  sim::AttachLoaderTo(twin_);
  const std::string trace = Path("trace.txt");
  for (const Args& command : {Args{"status"}, Args{"upgrade-firmware", SampleFirmware}}) {
    Args args = {"--trace", trace};
    args.insert(args.end(), command.begin(), command.end());
    ASSERT_EQ(Cli(args), 0) << Err();
    std::istringstream lines(ReadFile(trace));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.rfind(std::string("# Ovitone USB Utility ") + OVITONE_PROJECT_VERSION + ", hidapi " + hid_version_str() + ": ", 0), 0u) << line;
    const auto traffic = Bus::Instance().Traffic();
    long long previous = -1;
    size_t n = 0;
    for (; std::getline(lines, line); ++n) {
      ASSERT_LT(n, traffic.size()) << line;
      const auto& r = traffic[n];
      std::istringstream fields(line);
      long long micros = 0;
      std::string direction, ids, port, hex;
      fields >> micros >> direction >> ids >> port;
      Bytes bytes;
      while (fields >> hex) bytes.push_back(uint8_t(std::stoul(hex, nullptr, 16)));
      ASSERT_GE(micros, previous);
      previous = micros;
      ASSERT_EQ(direction, r.direction == sim::Direction::HostToDevice ? "out" : "in") << n;
      ASSERT_EQ(ids, r.productId == 0x0200 ? "2047:0200" : "2047:0a3b") << n;
      ASSERT_EQ(port, UsbPortOfPath(r.path.c_str())) << n;
      ASSERT_EQ(bytes, r.bytes) << n;
    }
    EXPECT_EQ(n, traffic.size());
    EXPECT_GT(n, command.size() == 1 ? 1u : 100u);
  }

  // Only a regular file takes a trace; the command is then not run at all.
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  for (const std::string& file : {Path("fifo"), dir_.path().toStdString()}) {
    EXPECT_EQ(Cli({"--trace", file, "status"}), 2);
    EXPECT_EQ(Err(), "ovitone-cli: cannot write the trace: " + file + " is not a regular file\n");
    EXPECT_TRUE(Bus::Instance().Traffic().empty());
  }
  EXPECT_EQ(Cli({"status", "--trace"}), 2);
  EXPECT_EQ(Err(), "ovitone-cli: --trace needs the name of the file to write the trace to\n");
}

// diagnose: one line per check, a fix under each failure, 0 only when all is in place.
TEST_F(CliTest, DiagnoseNamesEachProblemWithItsFix) {
  const std::string rule = Path("rules/70-ovitone-hid.rules");
  const std::string goodRule = ReadFile(OVITONE_SOURCE_DIR "/packaging/70-ovitone-hid.rules");
  cli::Options options;
  options.udevRuleFolders = {Path("rules")};
  FirmwareUpgrader::SetRamLoaderDataFolders(std::vector<std::string>{});
  QDir(dir_.path()).mkpath("rules"), QDir(dir_.path()).mkpath("config");
  std::shared_ptr<sim::LoaderTwin> loader;

  const std::vector<std::tuple<std::string, std::function<void()>, int, std::vector<std::string>>> scenarios = {
      {"all in place", [&] { WriteFile("rules/70-ovitone-hid.rules", goodRule); }, 0,
       {"ok    udev rule: " + rule + "\n", "ok    units: 1 encoder on USB port 1-1; no firmware loader\n",
        "ok    access: this user may open every unit\n",
        "ok    RAM loader 00.06.05.34: the stand-in built into this program, for the simulated loader\n",
        "ok    settings recovery: no settings wait to be restored\n",
        "Everything needed to configure and upgrade the encoder is in place.\n"}},
      {"no rule", [&] { QFile::remove(QString::fromStdString(rule)); }, 3,
       {"FAIL  udev rule: 70-ovitone-hid.rules is in none of " + Path("rules") + "\n      fix: sudo cp packaging/70-ovitone-hid.rules",
        "1 check failed; see the fixes above.\n"}},
      {"rule without the loader", [&] { WriteFile("rules/70-ovitone-hid.rules", goodRule.substr(0, goodRule.find('\n', goodRule.find("0a3b")))); }, 3,
       {"FAIL  udev rule: " + rule + " does not cover both the encoder (2047:0a3b) and its firmware loader (2047:0200)\n      fix: replace it: "}},
      {"access denied", [&] { WriteFile("rules/70-ovitone-hid.rules", goodRule), Bus::Instance().SetOpenFails(true); }, 3,
       {"FAIL  access: this user may not open the encoder on USB port 1-1", "      fix: install the udev rule and replug the unit"}},
      {"nothing attached", [&] { Bus::Instance().SetOpenFails(false), Bus::Instance().Unplug(*twin_); }, 3,
       {"FAIL  units: no encoder (2047:0a3b) and no firmware loader (2047:0200) on the USB bus\n      fix: plug the encoder in",
        "note  access: not checked, no unit is attached\n"}},
      {"real units without a RAM loader", [&] { Bus::Instance().Plug(twin_), FirmwareUpgrader::SetRealUnitsForTests(true); }, 3,
       {"FAIL  RAM loader: No RAM loader image was found; a real encoder cannot be upgraded without one.\n"
        "      fix: The upgrade first starts Texas Instruments' RAM loader 00.06.05.34"}},
      {"a unit left in its loader with its settings kept",
       [&] {
         WriteFile("config/RAM_BSL.00.06.05.34.txt", RamImage(1));
         loader = std::make_shared<sim::LoaderTwin>();
         Bus::Instance().Plug(loader);
         std::string why;
         ASSERT_TRUE(SaveRecoveryRecord(Path("config"), {loader->UsbPort(), EncoderSettings::Fallback()}, why)) << why;
       }, 0,
       {"ok    units: 1 encoder on USB port 1-1; 1 firmware loader on USB port 1-2\n",
        "note  units: the unit on USB port 1-2 waits in its firmware loader\n"
        "      fix: finish its upgrade: ovitone-cli --device 1-2 upgrade-firmware FILE\n",
        "ok    RAM loader 00.06.05.34: " + Path("config/RAM_BSL.00.06.05.34.txt") + "\n",
        "note  settings recovery: the settings of the unit on USB port 1-2 (serial number",
        "Everything needed to configure and upgrade the encoder is in place.\n"}},
  };
  for (const auto& [name, arrange, exit, lines] : scenarios) {
    SCOPED_TRACE(name);
    arrange();
    EXPECT_EQ(Cli({"diagnose"}, options), exit);
    for (const std::string& expected : lines) EXPECT_NE(Out().find(expected), std::string::npos) << expected << "\n" << Out();
    EXPECT_TRUE(Bus::Instance().Writes().empty());
  }
  EXPECT_EQ(Cli({"diagnose", "now"}, options), 2);
}

}  // namespace
}  // namespace pellix_usb_encoder
