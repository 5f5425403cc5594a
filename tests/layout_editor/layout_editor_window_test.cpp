// The layout editor and its opener driven as a user would, headless, against the
// encoder twin: the opened window, selections and colours, choices, Reset, Apply (and
// its failure), Close, bytes outside the lists, and where the module picture comes from.
#include "layout_editor/ui/layout_editor_window.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <array>
#include <memory>
#include <vector>

#include "app/main_window.h"
#include "common/fake_interaction.h"
#include "common/window_test_support.h"
#include "device/device_lock.h"
#include "device/encoder_protocol.h"
#include "device/hid_transport.h"
#include "sim/encoder_twin.h"
#include "support/service/platform.h"


namespace pellix_usb_encoder {
namespace {

using sim::Bus;
using sim::EncoderFault;
using Bytes = std::vector<uint8_t>;
using Table = std::array<uint8_t, 8>;

const QColor Orange(QStringLiteral("orange")), Aqua(QStringLiteral("aqua")), Black(Qt::black);
const Table Opening = {0xE3, 0x0F, 0x00, 0x10, 0xE0, 0x05, 0xE7, 0x81};

// The LoadKeyTable request as it goes on the wire: 3F 40, STX, "05", "08", table, ETX, XOR.
Bytes Frame(const Table& t) { return testing::RequestReport(0x05, Bytes(t.begin(), t.end())); }
std::vector<Bytes> Wire() {
  std::vector<Bytes> out;
  for (const auto& w : Bus::Instance().Writes()) out.push_back(w.bytes);
  return out;
}
void Pick(QComboBox* box, const QString& item) {
  const int index = box->findText(item, Qt::MatchExactly | Qt::MatchCaseSensitive);
  ASSERT_GE(index, 0) << item.toStdString();
  box->setCurrentIndex(index);
  emit box->activated(index);
}
QStringList Keys(const My4way_layout& e) {
  return {e.key7Btn->text(), e.key8Btn->text(), e.key9Btn->text(), e.key10Btn->text()};
}
QStringList Mods(const My4way_layout& e) {
  return {e.modifierBtn7->text(), e.modifierBtn8->text(), e.modifierBtn9->text(), e.modifierBtn10->text()};
}
std::vector<QColor> Colours(const My4way_layout& e) {
  return {e.key7Btn->textColour(), e.key8Btn->textColour(), e.key9Btn->textColour(), e.key10Btn->textColour()};
}
std::vector<int> State(const My4way_layout& e) {  // key usages, then modifier indices
  return {e.currentK7Code, e.currentK8Code, e.currentK9Code, e.currentK10Code,
          e.currentM7Code, e.currentM8Code, e.currentM9Code, e.currentM10Code};
}
QColor Background(const QPushButton* b) { return b->palette().color(QPalette::Button); }
bool Closed(QPointer<My4way_layout>& e) {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return e.isNull();
}

class LayoutEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    qputenv("XDG_DATA_HOME", home_.path().toLocal8Bit());
    Bus::Instance().Reset();
    Bus::Instance().UseVirtualClock(true);
    platform::SetTimeScale(0.001);
    twin_ = sim::PlugEncoder();
    SetEncoder(2, Opening);
  }
  void TearDown() override {
    form_.reset();
    QDir::setCurrent(startDir_);
    {
      auto lock = LockDevice();
      if (hid_handle) hid_exit_safely(hid_handle);
      hid_handle = nullptr;
    }
    Bus::Instance().Reset();
    FileName.clear();
    Form1::keyCodeArray = {};
  }
  void SetEncoder(int keypadType, const Table& table) {
    sim::EncoderSettings s = twin_->Settings();
    s.keypadType = uint8_t(keypadType), s.keyCodeTable = table;
    twin_->SetSettings(s);
  }
  // "Customise Code Table" on the main window; the new editor, or null. Clears the traffic.
  My4way_layout* Open() {
    if (!form_) (form_ = std::make_unique<Form1>())->Form1_Load();
    const qsizetype before = form_->findChildren<My4way_layout*>().size();
    form_->button1->click();
    Bus::Instance().ClearTraffic();
    const auto after = form_->findChildren<My4way_layout*>();
    return after.size() > before ? after.back() : nullptr;
  }
  // The messages since the last call, as "text|caption" (each must be OK + warning).
  QStringList Messages() {
    QStringList out;
    for (const auto& m : fake_.messages) {
      EXPECT_TRUE(m.buttons == ui::Buttons::Ok && m.icon == ui::Icon::Warning);
      out << m.text + "|" + m.caption;
    }
    fake_.messages.clear();
    return out;
  }

  QTemporaryDir home_;
  QString startDir_ = QDir::currentPath();
  testing::FakeInteraction fake_;
  std::shared_ptr<sim::EncoderTwin> twin_;
  std::unique_ptr<Form1> form_;
};

TEST_F(LayoutEditorTest, OpenerRefusesWithoutStatusOrCustomTable) {
  for (int keypad : {0, 1}) {
    SetEncoder(keypad, Opening);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(Messages(), QStringList{"Please select a customise table..\n|Orvane Ovitone "});
  }
  SetEncoder(2, Opening);
  twin_->InjectFault(EncoderFault::Refuse);
  EXPECT_EQ(Open(), nullptr);
  EXPECT_EQ(Messages(), QStringList{"Load Table-Unable to get device status..\n|Orvane Ovitone "});
  EXPECT_TRUE(Wire().empty());
}

TEST_F(LayoutEditorTest, OpenerFillsTheEditorFromTheEncoderTable) {
  My4way_layout* e = Open();
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->isVisible());
  EXPECT_EQ(e->parentWidget(), form_.get());
  EXPECT_EQ(Keys(*e), QStringList({"Vol up 0x0F", "Vol Down 0x10", "Jack IN  0x05", "Jack OUT  0x81"}));
  EXPECT_EQ(State(*e), std::vector<int>({0x0F, 0x10, 0x05, 0x81, 4, 0, 1, 8}));
  EXPECT_EQ(Mods(*e), QStringList({"Left   Gui", " None", "Left  Ctrl", "Right   Gui"}));
  EXPECT_FALSE(e->selectCodeCbox->isVisible() || e->selectModifierCbox->isVisible());
  // The key buttons now belong to the picture but kept their spots in the window.
  const std::pair<PictureButton*, QRect> spots[] = {
      {e->key7Btn, {61, 157, 103, 59}}, {e->key8Btn, {61, 242, 103, 59}},
      {e->key9Btn, {209, 390, 103, 26}}, {e->key10Btn, {209, 511, 103, 26}}};
  for (const auto& [button, spot] : spots) {
    EXPECT_EQ(button->parentWidget(), e->pictureBox1);
    EXPECT_EQ(QRect(button->mapTo(e, QPoint(0, 0)), button->size()), spot);
    EXPECT_TRUE(button->isVisible());
  }
  // Every opening makes a window of its own; Vol Up's name depends on its code.
  SetEncoder(2, {0x00, 0x28, 0xE1, 0x81, 0x00, 0x0E, 0x00, 0x00});
  My4way_layout* second = Open();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Keys(*second), QStringList({"Vol Up 0x28", "Vol Down 0x81", "Jack IN  0x0E", "Jack OUT  0x00"}));
  EXPECT_EQ(Keys(*e)[0], "Vol up 0x0F");
  EXPECT_TRUE(Wire().empty());
}

TEST_F(LayoutEditorTest, SelectionsColoursAndChoicesThenApply) {
  QPointer<My4way_layout> e = Open();
  ASSERT_TRUE(e);
  const QColor normal = e->currentMBColour;
  e->key9Btn->click();
  e->modifierBtn8->click();
  EXPECT_EQ(e->key9Btn->textColour(), Orange);
  EXPECT_EQ(Background(e->modifierBtn8), Orange);
  EXPECT_EQ(e->key8Btn->textColour(), Black);  // the two selections are independent
  EXPECT_EQ(std::make_pair(e->keySelected, e->modSelected), std::make_pair(256, 128));
  EXPECT_TRUE(e->selectModifierCbox->isVisible() && !e->selectCodeCbox->isVisible());
  e->key9Btn->click();  // deselecting keeps the lists as they are
  e->modifierBtn8->click();
  EXPECT_EQ(e->key9Btn->textColour(), Black);
  EXPECT_EQ(Background(e->modifierBtn8), normal);
  EXPECT_EQ(e->keySelected | e->modSelected, 0);
  EXPECT_TRUE(e->selectModifierCbox->isVisible() && !e->selectCodeCbox->isVisible());

  // One choice for two selected keys; a choice with none selected only hides the list.
  e->key7Btn->click();
  e->key10Btn->click();
  Pick(e->selectCodeCbox, "0x28    Enter");
  EXPECT_EQ(Keys(*e), QStringList({"0x28", "Vol Down 0x10", "Jack IN  0x05", "0x28"}));
  EXPECT_EQ(Colours(*e), std::vector<QColor>({Aqua, Black, Black, Aqua}));
  EXPECT_EQ(e->keySelected, 0);
  EXPECT_FALSE(e->selectCodeCbox->isVisible());
  e->key10Btn->click();
  e->key10Btn->click();  // an edited key deselected gets the normal colour, keeps its code
  EXPECT_EQ(e->key10Btn->textColour(), Black);
  Pick(e->selectCodeCbox, "0x04    a");
  EXPECT_FALSE(e->selectCodeCbox->isVisible());
  EXPECT_EQ(e->key10Btn->text(), "0x28");

  // Typing into the list chooses nothing; an arrow key moves on from the last choice.
  e->key8Btn->click();
  QTest::keyClicks(e->selectCodeCbox, "0x2C");
  QTest::keyClick(e->selectCodeCbox, Qt::Key_Return);
  EXPECT_EQ(e->key8Btn->text(), "Vol Down 0x10");
  QTest::keyClick(e->selectCodeCbox, Qt::Key_Down);
  EXPECT_EQ(e->key8Btn->text(), "0x05");

  e->modifierBtn8->click();
  Pick(e->selectModifierCbox, "Right Shift");
  e->modifierBtn7->click();
  e->modifierBtn9->click();
  Pick(e->selectModifierCbox, " None");
  EXPECT_EQ(Mods(*e), QStringList({" None", "Right Shift", " None", "Right   Gui"}));
  EXPECT_EQ(State(*e), std::vector<int>({0x28, 0x05, 0x05, 0x28, 0, 6, 0, 8}));
  EXPECT_EQ(Background(e->modifierBtn8), normal);
  EXPECT_EQ(e->modSelected, 0);
  EXPECT_TRUE(Wire().empty());

  e->applyBtn->click();
  const Table sent = {0x00, 0x28, 0xE5, 0x05, 0x00, 0x05, 0xE7, 0x28};
  EXPECT_EQ(Wire(), std::vector<Bytes>{Frame(sent)});
  EXPECT_EQ(twin_->Settings().keyCodeTable, sent);
  EXPECT_TRUE(Closed(e));
  EXPECT_TRUE(Messages().isEmpty());
}

TEST_F(LayoutEditorTest, ResetReturnsToTheOpeningTableAndCloseSendsNothing) {
  QPointer<My4way_layout> e = Open();
  ASSERT_TRUE(e);
  const QStringList keys = Keys(*e), mods = Mods(*e);
  for (PictureButton* key : {e->key7Btn, e->key8Btn, e->key9Btn, e->key10Btn}) key->click();
  Pick(e->selectCodeCbox, "0x2C    Spacebar");
  e->modifierBtn8->click();
  Pick(e->selectModifierCbox, "Left Shift");
  e->key8Btn->click();  // still selected when Reset comes
  e->modifierBtn9->click();
  e->resetBtn->click();
  EXPECT_EQ(Keys(*e), keys);
  EXPECT_EQ(Mods(*e), mods);
  EXPECT_EQ(Colours(*e), std::vector<QColor>(4, Black));
  EXPECT_EQ(Background(e->modifierBtn9), e->currentMBColour);
  EXPECT_EQ(State(*e), std::vector<int>({0x0F, 0x10, 0x05, 0x81, 4, 0, 1, 8}));
  EXPECT_EQ(e->keySelected | e->modSelected, 0);
  EXPECT_TRUE(e->selectModifierCbox->isVisible());  // Reset leaves the lists alone
  e->applyBtn->click();
  EXPECT_EQ(Wire(), std::vector<Bytes>{Frame(Opening)});
  EXPECT_TRUE(Closed(e));

  QPointer<My4way_layout> other = Open();
  ASSERT_TRUE(other);
  other->key7Btn->click();
  Pick(other->selectCodeCbox, "0x04    a");
  other->exitBtn->click();
  EXPECT_TRUE(Closed(other));
  EXPECT_TRUE(Wire().empty());
}

TEST_F(LayoutEditorTest, FailedApplyKeepsTheEditsAndTheRetrySendsTheSameBytes) {
  QPointer<My4way_layout> e = Open();
  ASSERT_TRUE(e);
  e->key9Btn->click();
  Pick(e->selectCodeCbox, "0x2C    Spacebar");
  e->modifierBtn9->click();
  Pick(e->selectModifierCbox, "Left Shift");
  twin_->InjectFault(EncoderFault::Refuse);
  e->applyBtn->click();
  EXPECT_EQ(Messages(), QStringList{"Unable to Load Table..\n|Orvane Ovitone"});
  ASSERT_FALSE(Closed(e));
  EXPECT_TRUE(e->isVisible());
  EXPECT_EQ(e->key9Btn->text() + e->modifierBtn9->text(), "0x2CLeft Shift");
  EXPECT_EQ(e->key9Btn->textColour(), Aqua);
  EXPECT_EQ(twin_->Settings().keyCodeTable, Opening);

  e->applyBtn->click();
  const Table edited = {0xE3, 0x0F, 0x00, 0x10, 0xE1, 0x2C, 0xE7, 0x81};
  EXPECT_EQ(Wire(), std::vector<Bytes>(2, Frame(edited)));
  EXPECT_EQ(twin_->Settings().keyCodeTable, edited);
  EXPECT_TRUE(Closed(e));
}

TEST_F(LayoutEditorTest, BytesOutsideTheListsGoBackUnchanged) {
  const Table odd = {0x05, 0x9A, 0xF0, 0xFF, 0xE1, 0x04, 0x00, 0x82};
  SetEncoder(2, odd);
  QPointer<My4way_layout> e = Open();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->currentM7Code, 5);  // the opener's conversion keeps bytes below 0xE0
  EXPECT_EQ(Keys(*e), QStringList({"Vol Up 0x9A", "Vol Down 0xFF", "Jack IN  0x04", "Jack OUT  0x82"}));
  EXPECT_EQ(Mods(*e), QStringList({"0x05", "0xF0", "Left Shift", " None"}));

  twin_->InjectFault(EncoderFault::Refuse, 2);
  e->applyBtn->click();
  e->modifierBtn7->click();
  Pick(e->selectModifierCbox, " None");
  e->applyBtn->click();
  e->resetBtn->click();
  EXPECT_EQ(Mods(*e)[0], "0x05");
  e->applyBtn->click();
  Table noneFirst = odd;
  noneFirst[0] = 0x00;
  EXPECT_EQ(Wire(), std::vector<Bytes>({Frame(odd), Frame(noneFirst), Frame(odd)}));
  EXPECT_TRUE(Closed(e));
}

TEST_F(LayoutEditorTest, PictureComesFromTheCurrentDirectoryElseTheEmbeddedCopy) {
  QTemporaryDir empty, withPicture;
  ASSERT_TRUE(QDir::setCurrent(empty.path()));
  My4way_layout* e = Open();
  ASSERT_NE(e, nullptr);
  const QImage embedded(QStringLiteral(":/media/Quendel.jpg"));
  ASSERT_EQ(embedded.size(), QSize(321, 458));
  EXPECT_EQ(e->pictureBox1->pixmap().toImage().convertToFormat(QImage::Format_RGB32),
            embedded.convertToFormat(QImage::Format_RGB32));
  EXPECT_TRUE(Messages().isEmpty());

  // A picture in the current directory wins; each key button shows the part under it.
  QImage own(321, 458, QImage::Format_RGB32);
  own.fill(Qt::white);
  QPainter(&own).fillRect(QRect(33, 66, 103, 59), Qt::red);  // under Vol Up
  ASSERT_TRUE(own.save(withPicture.filePath("Quendel.jpg"), "JPG", 100));
  ASSERT_TRUE(QDir::setCurrent(withPicture.path()));
  e = Open();
  ASSERT_NE(e, nullptr);
  for (auto [button, colour] : {std::pair{e->key7Btn, qRgb(255, 0, 0)}, std::pair{e->key8Btn, qRgb(255, 255, 255)}}) {
    const QImage i = button->backgroundImage().toImage();
    ASSERT_EQ(i.size(), QSize(103, 59));
    // A few pixels in from the edges: JPEG blurs colour across a sharp edge.
    for (QPoint p : {QPoint(4, 4), QPoint(98, 4), QPoint(4, 54), QPoint(98, 54)}) {
      const QRgb c = i.pixel(p);
      EXPECT_TRUE(std::abs(qRed(c) - qRed(colour)) + std::abs(qGreen(c) - qGreen(colour)) +
                      std::abs(qBlue(c) - qBlue(colour)) < 60) << std::hex << c;
    }
  }
}

}  // namespace
}  // namespace pellix_usb_encoder
