// ovitone-cli in-process on the simulated bus: exit codes, the wire, and what it refuses.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <hidapi/hidapi.h>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <tuple>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "cli/provisioning_cli.h"
#include "common/odd_files.h"
#include "device/encoder_session.h"
#include "device/usb_port.h"
#include "firmware/core/ram_loader.h"
#include "firmware/core/settings_recovery.h"
#include "firmware/core/upgrader.h"
#include "loader/ti_txt.h"
#include "sim/encoder_twin.h"
#include "sim/loader_twin.h"
#include "sim/sim_bus.h"
#include "support/core/data_folder.h"
#include "support/core/interrupt.h"
#include "support/service/platform.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus;
using sim::EncoderFault;
using Bytes = std::vector<uint8_t>;
using Cmds = std::vector<std::pair<int, Bytes>>;
using Args = std::vector<std::string>;
constexpr auto npos = std::string::npos;

const std::string SampleFirmware = OVITONE_SOURCE_DIR "/resources/firmware/sample_firmware_v1.3.0.txt";

// A configuration file laid out as the program saves it.
std::string Config(const std::string& firstUp, const std::string& layout, const std::string& volume,
                   const std::string& jack, const std::string& table = "225,4,0,5,224,30,0,31,",
                   const std::string& serial = "OV000123", const std::string& version = "V1.2.7") {
  return " [appSettings]\n SerialNumber=" + serial + "\n FirmwareVersion=" + version +
         "\n CodeTableValues=" + table + "\n JackLedBrightness=" + jack +
         "\n VolumeLedBrightness=" + volume + "\n KeypadLayout=" + layout + "\n FirstUp=" + firstUp + "\n";
}

// A request report by hand: 3F 40 STX, command and length in hex, payload, ETX, XOR, zeros.
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

sim::EncoderSettings Custom(uint8_t volumeLed = 4) {
  sim::EncoderSettings s = sim::EncoderTwin::FactorySettings();
  s.volLedBrightness = volumeLed, s.jackLedBrightness = 8, s.keypadType = 2;
  s.keyCodeTable = {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x1E, 0x00, 0x1F};
  return s;
}

// One encoder on a fresh bus whose virtual clock the program's fixed waits move; a folder.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Bus::Instance().Reset();
    Bus::Instance().UseVirtualClock(true);
    platform::SetTimeScale(0.001);
    ResetUpgraderState();
    FirmwareUpgrader::SetRecoveryFolder(Path("config"));
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
  static void ResetUpgraderState() {
    FirmwareUpgrader::myVID.clear();
    FirmwareUpgrader::myPID.clear();
    FirmwareUpgrader::myDeviceIndex = "0";
  }
  bool RecoveryPending() const { return !LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder()).empty(); }
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
    std::ostringstream text;
    return in ? (text << in.rdbuf(), text.str()) : "<missing>";
  }
  std::string Out() const { return out_.str(); }
  std::string Err() const { return err_.str(); }
  QTemporaryDir dir_;
  std::shared_ptr<sim::EncoderTwin> twin_;
  std::ostringstream out_, err_;
};

// Mistakes and unusable files: exit 2 with the reason, before anything is sent. A `file`
// is written to the last argument first.
TEST_F(CliTest, UnusableCommandLinesAndFilesAreRefusedBeforeAnythingIsSent) {
  EXPECT_TRUE(Cli({"set-led", "--help"}) == 0 && Out().find("upgrade-firmware FILE") != npos) << Out();
  const std::string fifo = test::MakeFifo(Path("fifo")), endless = test::EndlessDevice();
  ASSERT_FALSE(fifo.empty());
  const std::string ini = Path("bad.ini"), txt = Path("bad.txt"), folder = dir_.path().toStdString();
  const std::string exists = WriteFile("exists.ini", "kept");
  const std::tuple<Args, std::string, std::optional<std::string>> cases[] = {
      {Args{}, "Usage: ovitone-cli", {}}, {{"frobnicate"}, "unknown command frobnicate", {}},
      {{"status", "--yaml"}, "status: unknown option --yaml", {}}, {{"status", "--all"}, "--all is not for status\n", {}},
      {{"upgrade-firmware"}, "usage: ovitone-cli upgrade-firmware FILE\n", {}},
      {{"set-led", "volume", "3", "--all", "--device", "1-1"}, "--all and --device exclude each other\n", {}},
      {{"status", "--trace"}, "--trace needs the name of the file to write the trace to\n", {}},
      {{"--trace", fifo, "status"}, "cannot write the trace: " + fifo + " is not a regular file\n", {}},
      {{"set-led", "volume", "10"}, "set-led: the level is a number from 0 to 9, not 10\n", {}},
      {{"set-led", "foo", "3"}, "set-led: the LED group is volume or jack, not foo\n", {}},
      {{"set-keypad", "3"}, "set-keypad: choose default, alternate or custom, not 3\n", {}},
      {{"load-table", "a", "b", "c", "NoSuchKey"}, "load-table: Jack OUT: unknown key NoSuchKey\n", {}},
      {{"load-table", "Hyper:a", "b", "c", "d"}, "load-table: Vol Up: unknown modifier Hyper\n", {}},
      {{"load-table", "a", "0x100", "c", "d"}, "Vol Down: unknown key 0x100\n", {}}, {{"load-table", "a", "b", "c"}, "usage:", {}},
      {{"load-table", "a", "b", "LeftCtrl:", "d"}, "Jack IN: unknown key \n", {}},
      {{"load-table", "0xE8:a", "b", "c", "d"}, "Vol Up: unknown modifier 0xE8\n", {}},
      {{"export-config", exists}, exists + " already exists; add --force to overwrite it.\n", {}},
      {{"export-config", folder}, folder + " is a folder; give the name of the file to write.\n", {}},
      {{"apply-config", fifo}, "fifo is not a regular file", {}}, {{"apply-config", Path("none")}, "Unable to read", {}},
      {{"apply-config", ini}, "Unable to read bad.ini file.", "[appSettings\nFirstUp=Yes\n"},
      {{"apply-config", ini}, "KeypadLayout in bad.ini is not a number.", Config("Yes", "two", "1", "1")},
      {{"apply-config", ini}, "CodeTableValues in bad.ini does not hold eight numbers.", Config("Yes", "2", "1", "1", "1,2,3,4,5,6,7,")},
      // Values are sent as one byte each: one that does not fit is refused, not wrapped.
      {{"apply-config", ini}, "VolumeLedBrightness in bad.ini is 265, which does not fit one byte (0 to 255).", Config("Yes", "1", "265", "1")},
      {{"apply-config", ini}, "CodeTableValues in bad.ini holds 256, which does not fit one byte", Config("Yes", "2", "1", "1", "1,2,3,256,5,6,7,8,")},
      {{"apply-config", ini}, "bad.ini is larger than 1 MiB; it cannot be a configuration file.", std::string(1024 * 1024 + 1, '#')},
      {{"apply-config", ini}, "holds no saved settings (FirstUp is not Yes); nothing was sent.", Config("No", "1", "1", "1")},
      {{"upgrade-firmware", Path("bad-\xff-name.txt")}, "", {}}, {{"upgrade-firmware", endless}, "", {}},
      {{"upgrade-firmware", txt}, "The file holds no firmware data", "q\n"},
      {{"upgrade-firmware", txt}, "Cannot use " + txt + ": byte at 0x2400 is outside the flash", "@2400\n01\n@FFFE\n00 44\nq\n"},
      {{"upgrade-firmware", txt}, "Cannot use " + txt + ": the image has no reset vector", "@4400\n01 02\nq\n"},
  };
  for (const auto& [args, message, file] : cases) {
    if (file) std::ofstream(args.back(), std::ios::binary | std::ios::trunc) << *file;
    EXPECT_EQ(Cli(args), 2) << message;
    EXPECT_NE(Err().find(message), npos) << Err();
    EXPECT_TRUE(!Err().empty() && Bus::Instance().Traffic().empty()) << message;
  }
  EXPECT_EQ(ReadFile(exists), "kept");
}

TEST_F(CliTest, StatusShowsTheEncoderAsTextAndJson) {
  twin_->SetSettings(Custom());
  twin_->SetFirmwareVersion("V1.2.9");
  twin_->SetSerialNumber("OV4242");
  twin_->SetJackInserted(true);
  ASSERT_EQ(Cli({"status"}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x01, {}}}));
  EXPECT_EQ(Out(),
            "Firmware version:      V1.2.9\nSerial number:         OV4242\nJack:                  in\n"
            "Code table in use:     custom\nVolume LED brightness: 4\nJack LED brightness:   8\n"
            "Custom code table:\n  Vol Up    LeftShift  a (0x04)\n  Vol Down  None       b (0x05)\n"
            "  Jack IN   LeftCtrl   1 (0x1E)\n  Jack OUT  None       2 (0x1F)\n");
  twin_->SetJackInserted(false);
  sim::EncoderSettings s = Custom(0);
  s.keypadType = 1;
  twin_->SetSettings(s);
  EXPECT_EQ(Cli({"status", "--json"}), 0);
  EXPECT_NE(Out().find("\"jack_inserted\": false,\n  \"keypad\": \"alternate\",\n  \"keypad_type\": 1,\n  \"volume_led\": 0,\n"), npos);
}

// Each command's requests, checked as reports on the wire (interface 1, framed); names,
// numbers and modifiers all reach the table, and a fixed layout sends no table.
TEST_F(CliTest, CommandsPutTheirRequestsOnTheWire) {
  const std::pair<Args, Cmds> cases[] = {
      {{"set-led", "volume", "5"}, {{0x02, {0x00, 5}}}}, {{"set-led", "JACK", "9"}, {{0x02, {0x01, 9}}}},
      {{"set-led", "jack", "0"}, {{0x02, {0x01, 0}}}}, {{"save-defaults"}, {{0x09, {}}}},
      {{"set-keypad", "alternate"}, {{0x07, {1}}}}, {{"set-keypad", "Custom"}, {{0x07, {2}}}},
      {{"set-keypad", "default"}, {{0x07, {0}}}},
      {{"load-table", "LeftCtrl:a", "0xE1:0x68", "F13", "rightgui:VolumeDown"}, {{0x05, {0xE0, 0x04, 0xE1, 0x68, 0x00, 0x68, 0xE7, 0x81}}}},
      // A digit is its key (as status prints it), not a usage number.
      {{"load-table", "None:4", "0x05", "RightShift:f14", "LeftAlt:0x00"}, {{0x05, {0x00, 0x21, 0x00, 0x05, 0xE5, 0x69, 0xE2, 0x00}}}},
      {{"apply-config", WriteFile("fixed.ini", Config("Yes", "0", "3", "1", "9,9,9,"))}, {{0x07, {0}}, {0x02, {0, 3}}, {0x02, {1, 1}}}},
      {{"apply-config", WriteFile("bom.ini", "\xEF\xBB\xBF" + Config("Yes", "1", "3", "4"))}, {{0x07, {1}}, {0x02, {0, 3}}, {0x02, {1, 4}}}},
      {{"apply-config", WriteFile("cfg.ini", Config("Yes", "2", "4", "8"))},
       {{0x07, {2}}, {0x05, {225, 4, 0, 5, 224, 30, 0, 31}}, {0x02, {0, 4}}, {0x02, {1, 8}}}},
  };
  for (const auto& [args, cmds] : cases) {
    ASSERT_EQ(Cli(args), 0) << args[1] << Err();
    EXPECT_EQ(Sent(), cmds) << args[1];
    const auto writes = Bus::Instance().Writes();
    ASSERT_EQ(writes.size(), cmds.size()) << args[1];
    for (size_t i = 0; i < cmds.size(); ++i)
      EXPECT_TRUE(writes[i].bytes == Frame(uint8_t(cmds[i].first), cmds[i].second) && writes[i].interfaceNumber == 1) << args[1];
  }
  EXPECT_EQ(twin_->Settings(), Custom());  // applied, and saved only when asked:
  EXPECT_EQ(twin_->Defaults().volLedBrightness + twin_->Defaults().jackLedBrightness, 5);
}

// A refused request is a failure (exit 4) with its message; an encoder this user may not
// open, or none at all, is exit 3 with the reason. Nothing changes, no file is written.
TEST_F(CliTest, FailuresGiveTheirExitCodeAndReason) {
  twin_->SetSettings(Custom());
  const std::string good = WriteFile("good.ini", Config("Yes", "2", "4", "8")), other = Path("other.ini");
  const std::pair<Args, std::string> commands[] = {
      {{"status"}, "Unable to get device status information"}, {{"save-defaults"}, "Unable to Write Default.."},
      {{"set-led", "volume", "1"}, "Unable to set the VOLUME LED Brightness.."},
      {{"set-led", "jack", "1"}, "Unable to set the JACK LED Brightness.."},
      {{"set-keypad", "default"}, "Unable to set Keypad Type.."}, {{"load-table", "a", "b", "c", "d"}, "Unable to Load Table.."},
      {{"factory-reset"}, "did not accept the factory reset"}, {{"export-config", other}, "Unable to Save Config file."},
      {{"apply-config", good}, ""}, {{"upgrade-firmware", SampleFirmware}, ""},
  };
  for (const auto& [args, message] : commands) {
    if (message.empty()) continue;  // apply-config: below
    twin_->InjectFault(EncoderFault::Refuse);
    EXPECT_EQ(Cli(args), 4) << message;
    EXPECT_TRUE(Err().find(message) != npos && Out().empty()) << Err();
  }
  twin_->InjectFault(EncoderFault::Silence);  // an unanswered reset is no reset either
  EXPECT_EQ(Cli({"factory-reset"}), 4);
  EXPECT_EQ(twin_->FactoryResetCount(), 0);
  // apply-config stops at the refused step and names it.
  const char* steps[] = {"Unable to set Keypad Type..", "Unable to Load Table..",
                         "Unable to set Volume KeyLED Brightness..", "Unable to set Jack LED Brightness.."};
  for (int step = 0; step < 4; ++step) {
    for (int i = 0; i < step; ++i) twin_->InjectFault(EncoderFault::AckStream);  // late, but answered
    twin_->InjectFault(EncoderFault::Refuse);
    EXPECT_EQ(Cli({"apply-config", good}), 4) << step;
    EXPECT_NE(Err().find(steps[step]), npos) << Err();
    EXPECT_EQ(Sent().size(), size_t(step + 1));
  }
  for (bool plugged : {true, false}) {  // plugged in but not to be opened by this user, or unplugged
    Bus::Instance().SetOpenFails(plugged);
    if (!plugged) Bus::Instance().Unplug(*twin_);
    for (const auto& [args, message] : commands) {
      EXPECT_EQ(Cli(args), 3) << args[0];
      EXPECT_NE(Err().find(plugged ? AccessDeniedAdvice : "not connected"), npos) << Err();
      EXPECT_TRUE(Bus::Instance().Writes().empty());
    }
    EXPECT_EQ(Cli({"status", "--json"}), 3);
    EXPECT_EQ(Out(), "{\n  \"connected\": false\n}\n");
  }
  EXPECT_EQ(twin_->Settings(), Custom());
  EXPECT_EQ(ReadFile(other), "<missing>");
}

// The encoder must come back after a reset, or bring up its loader, in time; else exit 3.
TEST_F(CliTest, FactoryResetAndUpgradeWaitForTheUnitToComeBack) {
  twin_->SetRejoinDelayMs(2500);  // back within the 3000 ms wait
  ASSERT_EQ(Cli({"factory-reset"}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x0A, {}}, {0x01, {}}}));
  EXPECT_EQ(twin_->FactoryResetCount(), 1);
  twin_->SetRejoinDelayMs(10'000'000);
  EXPECT_EQ(Cli({"factory-reset"}), 3);
  EXPECT_NE(Err().find("did not come back"), npos);
  Bus::Instance().Plug(twin_);
  sim::AttachLoaderTo(twin_);
  twin_->SetOnEnterFirmwareUpgrade({});
  cli::Options impatient;  // the loader wait, on the virtual clock
  impatient.loaderWaitMs = 300;
  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware}, impatient), 3);
  EXPECT_EQ(Sent(), Cmds({{0x01, {}}, {0x0C, {}}}));
  EXPECT_NE(Err().find("did not appear"), npos) << Err();
}

// export-config writes what apply-config reads back; text from the encoder can add no
// line to the file nor reach the terminal raw.
TEST_F(CliTest, ExportConfigWritesWhatApplyConfigReadsBack) {
  twin_->SetSettings(Custom());
  const std::string file = Path("export.ini");
  ASSERT_EQ(Cli({"export-config", file}), 0) << Err();
  EXPECT_EQ(ReadFile(file), Config("Yes", "2", "4", "8"));
  twin_->SetSettings(sim::EncoderTwin::FactorySettings());
  twin_->SetSerialNumber("");
  ASSERT_EQ(Cli({"apply-config", file}), 0) << Err();
  EXPECT_EQ(twin_->Settings(), Custom());
  ASSERT_EQ(Cli({"export-config", "--force", file}), 0) << Err();
  EXPECT_EQ(ReadFile(file), Config("Yes", "2", "4", "8", "225,4,0,5,224,30,0,31,", " No Serial Number"));
  twin_->SetFirmwareVersion("V1\nKeypadLayout=7");
  twin_->SetSerialNumber("OV\x1b[2J12");
  ASSERT_EQ(Cli({"export-config", "--force", file}), 0) << Err();
  EXPECT_EQ(ReadFile(file), Config("Yes", "2", "4", "8", "225,4,0,5,224,30,0,31,", "OV?[2J12", "V1?KeypadLayout=7"));
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"export.ini"});
  ASSERT_EQ(Cli({"status"}), 0);
  EXPECT_NE(Out().find("Firmware version:      V1?KeypadLayout=7\nSerial number:         OV?[2J12\n"), npos) << Out();
}

// Only files of its own are written: a link planted where an export or the trace goes,
// or a trace named after one of the command's own files (by another name for it, too),
// is refused before anything is sent, and every file in the folder stays as it was.
TEST_F(CliTest, LinksAndTheCommandsOwnFilesAreNeverWrittenOver) {
  namespace fs = std::filesystem;
  const std::string folder = dir_.path().toStdString(), victim = WriteFile("victim.ini", "the user's");
  const std::string fw = WriteFile("fw.txt", ReadFile(SampleFirmware)), ram = WriteFile("ram.txt", "a RAM loader");
  const std::string cfg = WriteFile("cfg.ini", Config("Yes", "2", "4", "8")), hard = Path("fw-hard.txt");
  const std::string toVictim = Path("to-victim.ini"), dangling = Path("dangling.ini");
  fs::create_hard_link(fw, hard);
  std::error_code linkError;
  fs::create_symlink(victim, toVictim, linkError);
  // Windows lets only administrators (or developer mode) make links.
  if (linkError) GTEST_SKIP() << "this system does not let the test make symbolic links: " << linkError.message();
  fs::create_symlink(Path("none.ini"), dangling);
  const std::string link = " is a symbolic link, and the program writes only regular files of its own: it has left the "
                           "link and the file it points to as they were. Remove the link, or choose another file name.\n";
  const std::string other = "; choose another file for the trace. Nothing was sent.\n";
  const std::pair<Args, std::string> cases[] = {
      {{"export-config", "--force", toVictim}, toVictim + link}, {{"export-config", dangling}, dangling + link},
      {{"--trace", toVictim, "status"}, "cannot write the trace: " + toVictim + link},
      {{"--trace", dangling, "status"}, "cannot write the trace: " + dangling + link},
      {{"--trace", fw, "upgrade-firmware", fw}, "--trace " + fw + " names the command's own input (the firmware image)" + other},
      {{"--trace=" + hard, "upgrade-firmware", fw}, "--trace " + hard + " names the command's own input (the firmware image)" + other},
      {{"apply-config", cfg, "--trace", folder + "/./cfg.ini"}, "own input (the configuration file to apply)" + other},
      {{"--trace", ram, "--ram-loader", ram, "upgrade-firmware", fw}, "own input (the RAM loader image)" + other},
      {{"--trace", folder + "/sub/../out.ini", "export-config", Path("out.ini")}, "own output (the configuration file it writes)" + other},
  };
  for (const auto& [args, message] : cases) {
    EXPECT_EQ(Cli(args), 2) << message;
    EXPECT_TRUE(Err().rfind("ovitone-cli: ", 0) == 0 && Err().find(message) != npos) << Err();
    EXPECT_TRUE(Bus::Instance().Traffic().empty()) << message;
  }
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList({"cfg.ini", "dangling.ini", "fw-hard.txt", "fw.txt", "ram.txt", "to-victim.ini", "victim.ini"}));
  EXPECT_TRUE(ReadFile(victim) == "the user's" && ReadFile(fw) == ReadFile(SampleFirmware) && ReadFile(ram) == "a RAM loader");
  EXPECT_EQ(ReadFile(cfg), Config("Yes", "2", "4", "8"));
  EXPECT_TRUE(fs::read_symlink(toVictim) == victim && fs::read_symlink(dangling) == Path("none.ini"));
}

// A trace that cannot be written to its end (a file size limit here; a full disk alike)
// is reported, and the file keeps the lines before the failure. The command's success
// becomes exit 2; a failure keeps its own code.
TEST_F(CliTest, ATraceThatCouldNotBeFinishedIsReported) {
#ifdef _WIN32
  GTEST_SKIP() << "a full disk is made with a file size limit, which Windows does not have";
#else
  const std::string trace = Path("trace.txt");
  const std::string incomplete = "ovitone-cli: the trace in " + trace + " is incomplete: writing it failed after 1 line (File "
                                 "too large). The lines after that are missing; for a whole trace, make room for it or choose "
                                 "another file, and run the command again.\n";
  for (const bool refused : {false, true}) {
    if (refused) twin_->InjectFault(EncoderFault::Refuse);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const rlimit small{300, old.rlim_max};  // the first line, not the second
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int exit = Cli({"--trace", trace, "status"});
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(exit, refused ? 4 : 2);
    EXPECT_NE(Err().find(incomplete), npos) << Err();
    EXPECT_EQ(Err().find("Unable to get device status information") != npos, refused) << Err();
    EXPECT_EQ(ReadFile(trace).rfind("# Ovitone USB Utility ", 0), 0u);
    EXPECT_EQ(ReadFile(trace).size(), 300u);
  }
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"trace.txt"});
  EXPECT_EQ(Cli({"--trace", trace, "status"}), 0);  // with room, whole and unreported
  EXPECT_EQ(Err(), "");
#endif
}

// SIGTERM while an export copies its file over the target: the child removes the
// temporary files it made, but no recovery record, says what became of the target, and
// dies of the signal. The target is as it was.
TEST_F(CliTest, AnInterruptDuringAnExportRemovesItsTemporaryFiles) {
#ifdef _WIN32
  GTEST_SKIP() << "the interrupt cleanup answers POSIX signals; Windows has none to send";
#else
  GTEST_FLAG_SET(death_test_style, "fast");  // the child is a fork, working in this folder
  const std::string target = WriteFile("export.ini", "old"), record = WriteFile("OvitoneRecovery-1-1.ini", "kept");
  const auto exportInterrupted = [&] {
    InstallInterruptCleanup();
    const TemporaryFileGuard never(record);  // a record is not a temporary, whoever says so
    interrupt_testing::SetWatchHook([&](const std::string& path) {
      if (path.rfind(target + ".new", 0) != 0) return;  // not yet the copy over the target
      int made = 0;
      for (const auto& entry : std::filesystem::directory_iterator(dir_.path().toStdString()))
        made += entry.path().string().find(".export") != npos;
      std::fprintf(stderr, "%d export file(s)\n", made);
      std::raise(SIGTERM);
    });
    Cli({"export-config", "--force", target});
  };
  EXPECT_EXIT(exportInterrupted(), ::testing::KilledBySignal(SIGTERM),
              "1 export file\\(s\\)\novitone-cli: export-config was interrupted; the encoder is unchanged, and .*/export\\.ini is "
              "either as it was or holds the whole export, never a part of it\\. Run export-config again to be sure of the file\\.");
  EXPECT_EQ(ReadFile(target), "old");
  EXPECT_EQ(ReadFile(record), "kept");
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"export.ini", "OvitoneRecovery-1-1.ini"}));
#endif
}

// Units are told apart by port: another unit waiting in its loader is never programmed in
// its place; the user's unsaved settings come back; the trace holds every report.
TEST_F(CliTest, UpgradeProgramsTheRightUnitRestoresItsSettingsAndTracesEveryReport) {
  auto loaderA = sim::AttachLoaderTo(twin_);
  auto loaderB = std::make_shared<sim::LoaderTwin>();
  Bus::Instance().Plug(loaderB);
  twin_->SetSettings(Custom());  // not saved: the restart alone would lose them
  ASSERT_EQ(Cli({"--trace", Path("trace.txt"), "upgrade-firmware", SampleFirmware}), 0) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x01, {}}, {0x0C, {}}, {0x01, {}}, {0x0E, {'O', 'V', '0', '0', '0', '1', '2', '3'}}, {0x07, {2}},
                          {0x05, {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x1E, 0x00, 0x1F}}, {0x02, {0, 4}}, {0x02, {1, 8}},
                          {0x09, {}}, {0x01, {}}}));
  EXPECT_TRUE(twin_->Settings() == Custom() && twin_->Defaults() == Custom());
  EXPECT_EQ(Out(), "Firmware upgraded to V1.3.0; settings restored.\n");
  EXPECT_NE(Err().find("Encoder found on USB port 1-1: firmware V1.2.7, serial number OV000123."), npos) << Err();
  TiTxtImage image;
  std::string error;
  ASSERT_TRUE(TiTxtParseFile(SampleFirmware, image, error)) << error;
  for (const auto& run : image.runs) EXPECT_EQ(loaderA->ReadRange(run.address, run.bytes.size()), run.bytes);
  EXPECT_TRUE(loaderB->Commands().empty());
  EXPECT_FALSE(RecoveryPending());  // restored, so nothing is kept
  std::istringstream lines(ReadFile(Path("trace.txt")));
  std::string line, hex;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line.rfind(std::string("# Ovitone USB Utility ") + OVITONE_PROJECT_VERSION + ", hidapi " + hid_version_str() + ": ", 0), 0u) << line;
  for (const auto& r : Bus::Instance().Traffic()) {
    ASSERT_TRUE(std::getline(lines, line));
    std::istringstream fields(line);
    std::string where[4];
    Bytes bytes;
    for (fields >> where[3] >> where[0] >> where[1] >> where[2]; fields >> hex;) bytes.push_back(uint8_t(std::stoul(hex, nullptr, 16)));
    ASSERT_EQ(where[0] + " " + where[1] + " " + where[2], (r.direction == sim::Direction::HostToDevice ? "out " : "in ") +
              std::string(r.productId == 0x0200 ? "2047:0200 " : "2047:0a3b ") + UsbPortOfPath(r.path.c_str()));
    ASSERT_EQ(bytes, r.bytes) << line;
  }
  EXPECT_FALSE(std::getline(lines, line)) << line;
  // With two encoders, changing anything needs a choice; reading does not.
  auto other = sim::PlugEncoder();
  other->SetSerialNumber("OV999999");
  EXPECT_EQ(Cli({"list"}), 0);
  EXPECT_NE(Out().find("1-3         encoder            OV999999        V1.2.7      \n1-2         firmware loader    -"), npos) << Out();
  for (const Args& args : {Args{"set-led", "volume", "3"}, Args{"upgrade-firmware", SampleFirmware}}) {
    EXPECT_EQ(Cli(args), 2);
    EXPECT_NE(Err().find("2 encoders are attached; choose one with --device PORT|SERIAL:\n  1-1  encoder\n  1-3  encoder\n"), npos) << Err();
    EXPECT_TRUE(Bus::Instance().Writes().empty());
  }
  EXPECT_EQ(Cli({"--device", "1-3", "set-led", "volume", "3"}), 0) << Err();
  EXPECT_EQ(Cli({"set-keypad", "alternate", "--device=OV999999"}), 0) << Err();
  EXPECT_TRUE(other->Settings().volLedBrightness == 3 && other->Settings().keypadType == 1) << "one unit, chosen by port and serial";
  EXPECT_EQ(twin_->Settings(), Custom());
  EXPECT_EQ(Cli({"--device", "1-2", "status"}), 3);
  EXPECT_NE(Err().find("is waiting in its firmware loader"), npos) << Err();
}

// A failure anywhere in the loader phase leaves the unit in its loader; the retry finds
// no status to read, and the unit, once it runs its firmware, proves by its serial number
// that the record is its own. A mass erase on the way takes the serial number: then only
// the user can say whose settings they are (--restore-from), and until then every record
// stays and nothing is written.
TEST_F(CliTest, RetryAfterAFailedUpgradeRestoresTheUsersSettings) {
  // Pulled out after so many reports of the loader phase; 0: a CRC check unanswered.
  const std::pair<std::string, int> stages[] = {{"first password", 1}, {"RAM loader transfer", 20}, {"programming", 120}, {"verification", 0}};
  for (const auto& [stage, reports] : stages) {
    SCOPED_TRACE(stage);
    TearDown(), SetUp();
    auto loader = sim::AttachLoaderTo(twin_);
    twin_->SetSettings(Custom());  // the user's, never saved as defaults
    loader->SetCrcSilent(reports == 0);
    if (reports > 0) {
      loader->SetUsbPort(twin_->UsbPort());
      twin_->SetOnEnterFirmwareUpgrade([loader, reports = reports](sim::WriteContext&) {
        loader->UnplugAfterReports(reports), Bus::Instance().PlugAfter(loader, 100);
      });
    }
    EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 4);
    EXPECT_TRUE(Err().find("are safe; the next upgrade of this unit restores them.") != npos &&
                (reports != 1 || Err().find("USB device was unplugged!", Err().find("Restarting.")) != npos)) << Err();
    EXPECT_TRUE(RecoveryPending());
    // The unit is put back as it is: still in its loader.
    if (!Bus::Instance().IsPlugged(*loader)) Bus::Instance().Plug(loader);
    loader->SetCrcSilent(false);
    const int retried = Cli({"upgrade-firmware", SampleFirmware});
    const bool erased = loader->MassEraseCount() > 0;  // the reset vector's segment holds the password
    ASSERT_EQ(retried, erased ? 5 : 0) << Err();
    EXPECT_NE(Err().find("already in its firmware loader"), npos) << Err();
    EXPECT_EQ(twin_->FirmwareVersion(), "V1.3.0");
    if (erased) {
      EXPECT_NE(Err().find("ovitone-cli: The encoder on USB port 1-1 reports no serial number, so the program cannot tell "
                           "whose settings it should have; nothing was written into it and every kept record stays. If you "
                           "know which unit it is, restore its settings with: ovitone-cli --device 1-1 --restore-from SERIAL "
                           "restore-settings (kept: OV000123).\n"), npos) << Err();
      EXPECT_TRUE(twin_->SerialNumber().empty() && twin_->Defaults() == sim::EncoderTwin::FactorySettings() && RecoveryPending());
      EXPECT_EQ(Cli({"--restore-from", "OV000999", "restore-settings"}), 5);
      EXPECT_NE(Err().find("--restore-from OV000999 names none of the kept settings this unit may have."), npos) << Err();
      ASSERT_EQ(Cli({"--restore-from", "OV000123", "restore-settings"}), 0) << Err();
      EXPECT_EQ(Out(), "Settings of serial number OV000123 restored into the encoder on USB port 1-1.\n");
    }
    EXPECT_TRUE(twin_->SerialNumber() == "OV000123" && twin_->Settings() == Custom() && twin_->Defaults() == Custom());
    EXPECT_FALSE(RecoveryPending());
    EXPECT_EQ(Cli({"restore-settings"}), 5);  // nothing kept any more: nothing written
    EXPECT_EQ(Err(), "ovitone-cli: No settings are kept for the encoder on USB port 1-1 (serial number OV000123); nothing "
                     "was written into it.\n");
  }
}

// The unit is moved to another port while it restarts, and a stranger is plugged into
// its old port: the stranger gets nothing (not the serial number, not the settings), the
// unit's record stays until the unit itself proves who it is.
TEST_F(CliTest, AStrangerOnTheUnitsPortGetsNothing) {
  sim::AttachLoaderTo(twin_);
  twin_->SetSettings(Custom());
  auto stranger = std::make_shared<sim::EncoderTwin>();
  stranger->SetSerialNumber("OV000777");
  platform::SetSleepOverride([&](int ms) {
    Bus::Instance().AdvanceMs(ms);
    if (ms != 6000) return;  // the wait for the restart
    Bus::Instance().Unplug(*twin_);
    twin_->SetUsbPort("1-5"), stranger->SetUsbPort("1-1");
    Bus::Instance().Plug(twin_), Bus::Instance().Plug(stranger);
  });
  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 5);
  EXPECT_NE(Err().find("ovitone-cli: The encoder now on USB port 1-1 reports serial number OV000777, not OV000123: it is "
                       "another unit, and nothing was written into it. The settings of serial number OV000123 (kept "), npos) << Err();
  EXPECT_TRUE(stranger->Commands().size() == 1 && stranger->Settings() == sim::EncoderTwin::FactorySettings());  // its status only
  EXPECT_EQ(stranger->SerialNumber(), "OV000777");
  ASSERT_TRUE(RecoveryPending());
  // On its new port the unit proves who it is and gets its own settings back.
  ASSERT_EQ(Cli({"--device", "OV000123", "restore-settings"}), 0) << Err();
  EXPECT_TRUE(twin_->Settings() == Custom() && twin_->Defaults() == Custom() && !RecoveryPending());
}

// Files named like records that are not sound ones (a value out of range, a renamed
// record, a copy, a link planted where the record goes) are reported by diagnose, never
// applied, and left as they are; the damaged one is moved aside for the new record.
TEST_F(CliTest, RecordsThatDoNotFitAreReportedAndNeverApplied) {
  sim::AttachLoaderTo(twin_);
  twin_->SetSettings(Custom());
  const std::string folder = FirmwareUpgrader::RecoveryFolder();
  QDir().mkpath(QString::fromStdString(folder));
  auto record = [](const std::string& serialHex, const std::string& layout) {
    return "[recovery]\nSerialNumber=" + serialHex + "\nPort=312D31\nKeptAt=2026-01-02 03:04\nFirmwareVersion=\n"
           "KeypadLayout=" + layout + "\nVolumeLedBrightness=1\nJackLedBrightness=1\nCodeTableValues=0,0,0,0,0,0,0,0\n";
  };
  const std::string own = "4F5630303031323"  "3";  // OV000123
  const std::map<std::string, std::string> files = {
      {"OvitoneRecovery-OV000123.ini", record(own, "7")},
      {"OvitoneRecovery-OV000999.ini", record(own, "1")},
      {"OvitoneRecovery-OV000123 (copy).ini", record(own, "1")},
      {"OvitoneRecovery-OV000555.ini", record("4F56303030353535", "1") + "Colour=blue\n"},
      // An earlier version's record, named by its port and without the time: still used.
      {"OvitoneRecovery-1-9.ini", "[recovery]\nPort=312D39\nSerialNumber=4F56303030333231\nFirmwareVersion=\n"
                                  "KeypadLayout=1\nVolumeLedBrightness=1\nJackLedBrightness=1\nCodeTableValues=0,0,0,0,0,0,0,0\n"}};
  for (const auto& [name, text] : files) WriteFile("config/" + name, text);
  std::error_code linkError;
  std::filesystem::create_symlink(Path("outside.txt"), folder + "/OvitoneRecovery-OV000444.ini", linkError);
  if (linkError) GTEST_SKIP() << "this system does not let the test make symbolic links: " << linkError.message();
  WriteFile("outside.txt", "not ours");
  cli::Options noRule;
  noRule.udevRuleFolders.clear();
  EXPECT_EQ(Cli({"diagnose"}, noRule), 0) << Out();  // noted, not failed: nothing is missing
  for (const char* problem : {"OvitoneRecovery-OV000123.ini is never used: KeypadLayout is not a number from 0 to 2",
                              "OvitoneRecovery-OV000999.ini is never used: its name does not match the serial number inside",
                              "OvitoneRecovery-OV000123 (copy).ini is never used: its name does not match",
                              "OvitoneRecovery-OV000555.ini is never used: unknown key Colour",
                              "OvitoneRecovery-OV000444.ini is never used: it is a symbolic link"})
    EXPECT_NE(Out().find(problem), npos) << problem << "\n" << Out();
  EXPECT_NE(Out().find("note  settings recovery: the settings of serial number OV000321 (kept by an earlier version on USB "
                       "port 1-9) wait to be restored"), npos) << Out();
  ASSERT_EQ(LoadRecoveryRecords(folder).size(), 1u);
  // The upgrade keeps the encoder's own settings, not any of these.
  ASSERT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 0) << Err();
  EXPECT_TRUE(twin_->Settings() == Custom() && twin_->Defaults() == Custom());
  QStringList left = QDir(QString::fromStdString(folder)).entryList(QDir::Files | QDir::System);
  left.sort();
  EXPECT_EQ(left, QStringList({"OvitoneRecovery-1-9.ini", "OvitoneRecovery-OV000123 (copy).ini", "OvitoneRecovery-OV000123.ini.damaged",
                               "OvitoneRecovery-OV000444.ini", "OvitoneRecovery-OV000555.ini",
                               "OvitoneRecovery-OV000999.ini"}));
  EXPECT_EQ(ReadFile(folder + "/OvitoneRecovery-OV000123.ini.damaged"), record(own, "7"));
  // A link where this unit's record would go: nothing is sent, the link's target untouched.
  twin_->SetSerialNumber("OV000444");
  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 4);
  EXPECT_NE(Err().find("is a symbolic link, not a record this program wrote; remove it). Nothing was sent."), npos) << Err();
  EXPECT_EQ(Sent(), Cmds({{0x01, {}}}));
  EXPECT_EQ(ReadFile(Path("outside.txt")), "not ours");
}

// Four units at once, a worker each: one refuses the password, one fails verification; none
// gets another's firmware, settings or serial number.
TEST_F(CliTest, AllUnitsAtOnceEachFollowingItsOwnPort) {
  std::vector<std::shared_ptr<sim::EncoderTwin>> twins{twin_, sim::PlugEncoder(), sim::PlugEncoder(), sim::PlugEncoder()};
  std::vector<std::shared_ptr<sim::LoaderTwin>> loaders;
  for (size_t i = 0; i < 4; ++i) {
    twins[i]->SetSerialNumber("OV00000" + std::to_string(i));
    twins[i]->SetSettings(Custom(uint8_t(i + 1)));
    loaders.push_back(sim::AttachLoaderTo(twins[i]));
  }
  loaders[1]->SetRefusePasswords(true);
  loaders[2]->SetCrcSilent(true);
  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware, "--all"}), 4);
  EXPECT_NE(Err().find("[1-2] [ 10%] Password FAILED!"), npos) << Err();
  for (const char* row : {"1-1         OV000000          done", "1-2         OV000001          refused or failed",
                          "1-3         OV000002          refused or failed", "1-4         OV000003          done"})
    EXPECT_NE(Out().find(row), npos) << row << "\n" << Out();
  for (size_t i : {0u, 3u}) {
    EXPECT_EQ(twins[i]->FirmwareVersion() + twins[i]->SerialNumber(), "V1.3.0OV00000" + std::to_string(i));
    EXPECT_TRUE(twins[i]->Settings().volLedBrightness == i + 1 && twins[i]->Defaults().volLedBrightness == i + 1);
  }
  // The two that failed keep their own settings for the next upgrade, and only theirs.
  const auto kept = LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder());
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_TRUE(kept[0].port == "1-2" && kept[0].settings.serialNumber == "OV000001" && kept[0].settings.volumeLed == 2);
  EXPECT_TRUE(kept[1].port == "1-3" && kept[1].settings.serialNumber == "OV000002" && kept[1].settings.volumeLed == 3);
  // A unit in its loader is found by the serial number of the record it left with.
  EXPECT_EQ(Cli({"list"}), 0);
  EXPECT_NE(Out().find("1-3         firmware loader    OV000002        -           kept for restore"), npos) << Out();
  loaders[2]->SetCrcSilent(false);
  ASSERT_EQ(Cli({"--device", "OV000002", "upgrade-firmware", SampleFirmware}), 0) << Err();
  EXPECT_TRUE(twins[2]->SerialNumber() == "OV000002" && twins[2]->Defaults().volLedBrightness == 3);
  // The retry takes in the unit still in its loader: its password was refused, so its flash
  // (serial number and all) was erased; it cannot prove who it is, and gets nothing.
  loaders[1]->SetRefusePasswords(false);
  EXPECT_EQ(Cli({"--all", "upgrade-firmware", SampleFirmware}), 5);
  for (const char* row : {"1-1         OV000000          done", "1-2         OV000001          upgraded, not restored",
                          "1-3         OV000002          done", "1-4         OV000003          done"})
    EXPECT_NE(Out().find(row), npos) << row << "\n" << Out();
  EXPECT_NE(Err().find("Working on 4 units at once."), npos) << Err();
  EXPECT_TRUE(twins[1]->SerialNumber().empty() && twins[1]->FirmwareVersion() == "V1.3.0");
  ASSERT_EQ(LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder()).size(), 1u);
  // Commands other than the upgrade cannot reach a unit in its loader, and say so.
  Bus::Instance().Unplug(*twins[3]);
  Bus::Instance().Plug(loaders[3]);
  EXPECT_EQ(Cli({"--all", "set-led", "jack", "2"}), 3);
  EXPECT_NE(Out().find("1-4         -                 in its loader, not touched"), npos) << Out();
}

// A made-up RAM loader image: version, code marked `mark` at the entry, the run the twin wants.
std::string RamImage(uint8_t mark, const std::string& version = "00 06 05 34", const std::string& more = "") {
  char code[8];
  std::snprintf(code, sizeof code, "%02X", mark);
  std::string second;
  for (int i = 0; i < 16; ++i) second += std::string(code) + " ";
  return "@2500\n" + version + " " + code + " 40 00 44\n@2576\n" + second + "\n" + more + "q\n";
}

// The mark of the RAM loader image sent: the entry's byte in the first fast write to 0x2500.
int SentRamImageMark() {
  for (const auto& w : Bus::Instance().Writes())
    if (w.bytes.size() > 10 && w.bytes[2] == 0x1B && w.bytes[3] == 0x00 && w.bytes[4] == 0x25 && w.bytes[5] == 0x00)
      return w.bytes[10];
  return -1;
}

// A real unit is only sent the vendor's RAM loader: the first image found (named, config
// folder, data folder, built in) is checked, then used or refused; without one, nothing.
TEST_F(CliTest, RealUnitsGetTheRamLoaderFoundOrNothing) {
  sim::AttachLoaderTo(twin_);
  FirmwareUpgrader::SetRealUnitsForTests(true);
  FirmwareUpgrader::SetRamLoaderDataFolders(std::vector<std::string>{Path("share")});
  QDir(dir_.path()).mkpath("config"), QDir(dir_.path()).mkpath("share");
  const std::string inConfig = Path("config/RAM_BSL.00.06.05.34.txt"), inShare = Path("share/RAM_BSL.00.06.05.34.txt");
  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 2);
  EXPECT_NE(Err().find("Save it as " + inConfig + ", or as " + inShare + " for every user"), npos) << Err();
  EXPECT_NE(Err().find("--ram-loader FILE. Nothing was sent.\n"), npos) << Err();
  EXPECT_TRUE(Bus::Instance().Writes().empty());
  const std::pair<std::string, std::string> rejected[] = {
      {WriteFile("high.txt", RamImage(1, "00 06 05 34", "@4400\n01\n")), "the byte at 0x4400 lies outside RAM (0x2400-0x43FF), where a RAM loader has to be"},
      {WriteFile("low.txt", "@23FF\n01\n" + RamImage(1)), "the byte at 0x23FF lies outside RAM"},
      {WriteFile("short.txt", "@2502\n05 34 31 40\nq\n"), "there are no version bytes at 0x2500-0x2503"},
      {WriteFile("version.txt", RamImage(1, "00 07 08 38")), "the version bytes at 0x2500 are 00 07 08 38, not 00 06 05 34 (RAM loader 00.06.05.34)"},
      {WriteFile("noentry.txt", "@2500\n00 06 05 34\nq\n"), "there is no code at its entry point 0x2504"},
      {WriteFile("erased.txt", "@2500\n00 06 05 34 FF FF\nq\n"), "there is no code at its entry point 0x2504"},
      {WriteFile("empty.txt", "q\n"), "the image holds no data"},
      {Path("missing.txt"), "there is no such file"},
      {Path("share"), "it is not a regular file"},
  };
  for (const auto& [file, reason] : rejected) {
    EXPECT_EQ(Cli({"--ram-loader", file, "upgrade-firmware", SampleFirmware}), 2) << file;
    EXPECT_NE(Err().find("The RAM loader image " + file + " cannot be used: " + reason), npos) << Err();
    EXPECT_TRUE(Bus::Instance().Writes().empty()) << file;
  }
  // A broken image in the configuration folder is reported, not passed over.
  WriteFile("share/RAM_BSL.00.06.05.34.txt", RamImage(3));
  WriteFile("config/RAM_BSL.00.06.05.34.txt", RamImage(2, "00 06 05 33"));
  EXPECT_EQ(Cli({"upgrade-firmware", SampleFirmware}), 2);
  EXPECT_NE(Err().find("The RAM loader image " + inConfig + " cannot be used: the version bytes"), npos) << Err();
  const std::tuple<Args, std::string, int> found[] = {
      {{"--ram-loader=" + WriteFile("named.txt", RamImage(1)), "upgrade-firmware", SampleFirmware}, Path("named.txt"), 1},
      {{"upgrade-firmware", SampleFirmware}, inConfig, 2}, {{"upgrade-firmware", SampleFirmware}, inShare, 3}};
  for (const auto& [args, source, mark] : found) {
    if (mark == 2) WriteFile("config/RAM_BSL.00.06.05.34.txt", RamImage(2));
    if (mark == 3) QFile::remove(QString::fromStdString(inConfig));
    ASSERT_EQ(Cli(args), 0) << Err();
    EXPECT_NE(Err().find("RAM loader 00.06.05.34: " + source + ".\n"), npos) << Err();
    EXPECT_EQ(SentRamImageMark(), mark);
  }
  // The image built into the program comes last, and is checked like the others.
  RamLoaderPlaces places{"", {Path("nowhere")}, "@2500\n00 06 05 34\nq\n"};
  std::string text, source, problem;
  EXPECT_EQ(FindRamLoader(places, text, source, problem), RamLoaderSearch::Rejected);
  EXPECT_EQ(problem, "The RAM loader image built into this program cannot be used: there is no code at its entry point 0x2504.");
}

// diagnose: one line per check, a fix under each failure, 0 only when all is in place.
TEST_F(CliTest, DiagnoseNamesEachProblemWithItsFix) {
  const std::string rules = Path("rules"), rule = rules + "/70-ovitone-hid.rules";
  const std::string goodRule = ReadFile(OVITONE_SOURCE_DIR "/packaging/70-ovitone-hid.rules");
  cli::Options options;
  options.udevRuleFolders = {rules};
  FirmwareUpgrader::SetRamLoaderDataFolders(std::vector<std::string>{});
  QDir(dir_.path()).mkpath("rules");
  const QByteArray home = qgetenv("HOME"), data = qgetenv("XDG_DATA_HOME");  // put back at the end
#ifdef _WIN32
  const std::string dataFolder = QDir::toNativeSeparators(QString::fromStdString(Path("data"))).toStdString();
  SetUserDataFolderForTests(dataFolder);
#else
  const std::string dataFolder = Path("data");
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dataFolder));
#endif
  const std::string fine = "Everything needed to configure and upgrade the encoder is in place.\n";
  const std::tuple<std::function<void()>, int, std::string> scenarios[] = {
      {[&] { WriteFile("rules/70-ovitone-hid.rules", goodRule); }, 0,
       "ok    udev rule: " + rule + "\nok    units: 1 encoder on USB port 1-1; no firmware loader\nok    access: this user may "
       "open every unit\nok    RAM loader 00.06.05.34: the stand-in built into this program, for the simulated loader\n"
       "ok    settings folder: " + dataFolder + platform::PathSeparator() + "OrvaneInterface\n"
       "ok    settings recovery: no settings wait to be restored\n" + fine},
      {[&] { QFile::remove(QString::fromStdString(rule)); }, 3,
       "FAIL  udev rule: 70-ovitone-hid.rules is in none of " + rules + "\n      fix: sudo cp packaging/70-ovitone-hid.rules "
       "/etc/udev/rules.d/ and replug the encoder (the Debian package installs the rule itself)\n"},
      {[&] { WriteFile("rules/70-ovitone-hid.rules", goodRule), Bus::Instance().SetOpenFails(true); }, 3,
       "FAIL  access: this user may not open the encoder on USB port 1-1"},
      {[&] { Bus::Instance().SetOpenFails(false), Bus::Instance().Unplug(*twin_); }, 3,
       "FAIL  units: no encoder (2047:0a3b) and no firmware loader (2047:0200) on the USB bus\n      fix: plug the encoder in"},
#ifndef _WIN32
      {[&] { Bus::Instance().Plug(twin_), qunsetenv("HOME"), qunsetenv("XDG_DATA_HOME"); }, 3,
       "FAIL  settings folder: HOME is not set, so there is no folder for this user's settings; set HOME to the user's "
       "home folder and start again\n      fix: set HOME to this user's home folder, as an absolute path (HOME=/home/NAME)\n"},
#endif
  };
  for (const auto& [arrange, exit, expected] : scenarios) {
    arrange();
    EXPECT_EQ(Cli({"diagnose"}, options), exit) << expected;
    EXPECT_NE(Out().find(expected), npos) << expected << "\n" << Out();
    EXPECT_NE(Out().rfind(exit ? "check failed; see the fixes above.\n" : fine), npos) << Out();
    EXPECT_TRUE(Bus::Instance().Writes().empty());
  }
  qputenv("HOME", home);
  qputenv("XDG_DATA_HOME", data);
  SetUserDataFolderForTests(std::nullopt);
}

}  // namespace
}  // namespace pellix_usb_encoder
