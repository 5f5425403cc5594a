// The layout editor and its opener driven as a user would, headless, against the encoder
// twin: opening, selections and colours, choices, Reset, Apply and its failure, Close.
#include "layout_editor/ui/layout_editor_window.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QTest>

#include "app/main_window.h"
#include "common/fake_interaction.h"
#include "common/window_test_support.h"
#include "sim/encoder_twin.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus, sim::EncoderFault;
using Bytes = std::vector<uint8_t>;
using Table = std::array<uint8_t, 8>;

const QColor Orange(QStringLiteral("orange")), Aqua(QStringLiteral("aqua")), Black(Qt::black);
const Table Opening = {0xE3, 0x0F, 0x00, 0x10, 0xE0, 0x05, 0xE7, 0x81};
const QStringList OpeningTexts = {"Vol up 0x0F", "Vol Down 0x10", "Jack IN  0x05", "Jack OUT  0x81",
                                  "Left   Gui",  " None",         "Left  Ctrl",    "Right   Gui"};

std::vector<Bytes> Frames(std::initializer_list<Table> tables) {  // LoadKeyTable: 3F 40 STX "05" "08" table ETX XOR
  std::vector<Bytes> out;
  for (const Table& t : tables) out.push_back(testing::RequestReport(0x05, Bytes(t.begin(), t.end())));
  return out;
}
std::vector<Bytes> Wire() {
  std::vector<Bytes> out;
  for (const auto& w : Bus::Instance().Writes()) out.push_back(w.bytes);
  return out;
}
void Pick(QComboBox* box, const QString& item) {
  const int index = box->findText(item, Qt::MatchExactly | Qt::MatchCaseSensitive);
  ASSERT_GE(index, 0) << item.toStdString();
  box->setCurrentIndex(index), emit box->activated(index);
}
// The four key buttons' texts, then the four modifier buttons'.
QStringList Texts(const My4way_layout& e) {
  return {e.key7Btn->text(),      e.key8Btn->text(),      e.key9Btn->text(),      e.key10Btn->text(),
          e.modifierBtn7->text(), e.modifierBtn8->text(), e.modifierBtn9->text(), e.modifierBtn10->text()};
}
std::vector<QColor> Colours(const My4way_layout& e) {
  return {e.key7Btn->textColour(), e.key8Btn->textColour(), e.key9Btn->textColour(), e.key10Btn->textColour()};
}
QColor Background(const QPushButton* b) { return b->palette().color(QPalette::Button); }
bool Closed(QPointer<My4way_layout>& e) {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return e.isNull();
}

class LayoutEditorTest : public testing::MainWindowFixture {
 protected:
  void SetUp() override { MainWindowFixture::SetUp(), twin_ = sim::PlugEncoder(), SetEncoder(2, Opening); }
  void TearDown() override { form_.reset(), QDir::setCurrent(startDir_), MainWindowFixture::TearDown(); }
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
  QStringList Messages() {  // since the last call, as "text|caption"; each an OK warning
    QStringList out;
    for (const auto& m : std::exchange(fake_.messages, {}))
      out << m.text + "|" + m.caption + (m.buttons == ui::Buttons::Ok && m.icon == ui::Icon::Warning ? "" : "|not a warning");
    return out;
  }

  QString startDir_ = QDir::currentPath();
  testing::FakeInteraction fake_;
  std::shared_ptr<sim::EncoderTwin> twin_;
  std::unique_ptr<Form1> form_;
};

// Refused without a status or a custom code table; otherwise a window of its own each time,
// filled from the encoder's table, its key buttons moved into the module picture (from the
// current directory, else the embedded copy), each showing the piece under it. No bytes sent.
TEST_F(LayoutEditorTest, OpenerRefusesOrFillsTheEditorFromTheEncoderTable) {
  QTemporaryDir empty, withPicture;
  ASSERT_TRUE(QDir::setCurrent(empty.path()));
  for (int keypad : {0, 1, 2}) {
    SetEncoder(keypad, Opening);
    if (keypad == 2) twin_->InjectFault(EncoderFault::Refuse);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(Messages(), QStringList{keypad < 2 ? "Please select a customise table..\n|Orvane Ovitone "
                                                 : "Load Table-Unable to get device status..\n|Orvane Ovitone "});
  }
  My4way_layout* e = Open();
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->isVisible() && e->parentWidget() == form_.get());
  EXPECT_EQ(Texts(*e), OpeningTexts);
  const QImage embedded = QImage(QStringLiteral(":/media/Quendel.jpg")).convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(e->pictureBox1->pixmap().toImage().convertToFormat(QImage::Format_RGB32), embedded);
  for (const auto& [button, spot] : {std::pair{e->key7Btn, QRect(61, 157, 103, 59)}, {e->key10Btn, {209, 511, 103, 26}}}) {
    EXPECT_EQ(button->parentWidget(), e->pictureBox1);
    EXPECT_EQ(QRect(button->mapTo(e, QPoint(0, 0)), button->size()), spot);
  }
  QImage own(embedded.size(), QImage::Format_RGB32);
  own.fill(Qt::white);
  QPainter(&own).fillRect(QRect(33, 66, 103, 59), Qt::red);  // under Vol Up
  ASSERT_TRUE(own.save(withPicture.filePath("Quendel.jpg"), "JPG", 100) && QDir::setCurrent(withPicture.path()));
  SetEncoder(2, {0x00, 0x28, 0xE1, 0x81, 0x00, 0x0E, 0x00, 0x00});  // Vol Up's name depends on its code
  My4way_layout* second = Open();
  ASSERT_TRUE(second && second != e);
  EXPECT_EQ(Texts(*second).mid(0, 4), QStringList({"Vol Up 0x28", "Vol Down 0x81", "Jack IN  0x0E", "Jack OUT  0x00"}));
  const QImage red = second->key7Btn->backgroundImage().toImage(), white = second->key8Btn->backgroundImage().toImage();
  EXPECT_TRUE(red.size() == second->key7Btn->size() && white.size() == second->key8Btn->size());
  for (QPoint p : {QPoint(4, 4), QPoint(98, 54)})  // in from the edges: JPEG blurs them
    EXPECT_TRUE(red.pixelColor(p).green() < 60 && white.pixelColor(p).green() > 200) << p.x();
  EXPECT_TRUE(Wire().empty());
}

TEST_F(LayoutEditorTest, SelectionsColoursAndChoicesThenApply) {
  QPointer<My4way_layout> e = Open();
  ASSERT_TRUE(e);
  const QColor normal = e->currentMBColour;
  e->key9Btn->click(), e->modifierBtn8->click();  // the two selections are independent
  EXPECT_EQ(Colours(*e), std::vector<QColor>({Black, Black, Orange, Black}));
  EXPECT_EQ(Background(e->modifierBtn8), Orange);
  EXPECT_TRUE(e->selectModifierCbox->isVisible() && !e->selectCodeCbox->isVisible());
  e->key9Btn->click(), e->modifierBtn8->click();  // deselecting keeps the lists as they are
  EXPECT_EQ(std::make_pair(e->key9Btn->textColour(), Background(e->modifierBtn8)), std::make_pair(Black, normal));
  EXPECT_TRUE(e->selectModifierCbox->isVisible() && !e->selectCodeCbox->isVisible());
  // One choice for two selected keys; a choice with none selected only hides the list;
  // an edited key deselected gets the normal colour and keeps its code.
  e->key7Btn->click(), e->key10Btn->click();
  Pick(e->selectCodeCbox, "0x28    Enter");
  EXPECT_EQ(Texts(*e).mid(0, 4), QStringList({"0x28", "Vol Down 0x10", "Jack IN  0x05", "0x28"}));
  EXPECT_EQ(Colours(*e), std::vector<QColor>({Aqua, Black, Black, Aqua}));
  EXPECT_FALSE(e->keySelected || e->selectCodeCbox->isVisible());
  e->key10Btn->click(), e->key10Btn->click();
  Pick(e->selectCodeCbox, "0x04    a");
  EXPECT_FALSE(e->selectCodeCbox->isVisible());
  EXPECT_EQ(e->key10Btn->text() + "|" + e->key10Btn->textColour().name(), "0x28|#000000");
  e->key8Btn->click();  // typing into the list chooses nothing; an arrow key moves on from the last choice
  QTest::keyClicks(e->selectCodeCbox, "0x2C"), QTest::keyClick(e->selectCodeCbox, Qt::Key_Return);
  EXPECT_EQ(e->key8Btn->text(), "Vol Down 0x10");
  QTest::keyClick(e->selectCodeCbox, Qt::Key_Down);
  EXPECT_EQ(e->key8Btn->text(), "0x05");
  e->modifierBtn8->click();
  Pick(e->selectModifierCbox, "Right Shift");
  e->modifierBtn7->click(), e->modifierBtn9->click();
  Pick(e->selectModifierCbox, " None");
  EXPECT_EQ(Texts(*e).mid(4), QStringList({" None", "Right Shift", " None", "Right   Gui"}));
  EXPECT_EQ(Background(e->modifierBtn8), normal);
  e->applyBtn->click();
  const Table sent = {0x00, 0x28, 0xE5, 0x05, 0x00, 0x05, 0xE7, 0x28};
  EXPECT_EQ(Wire(), Frames({sent}));
  EXPECT_EQ(twin_->Settings().keyCodeTable, sent);
  EXPECT_TRUE(Closed(e) && Messages().isEmpty());
}

// Reset returns to the opening table (selections dropped, lists left alone); a refused Apply
// says so and keeps the window and its edits, the retry sends the same bytes; Close sends nothing.
TEST_F(LayoutEditorTest, ResetFailedApplyCloseAndBytesOutsideTheLists) {
  QPointer<My4way_layout> e = Open();
  ASSERT_TRUE(e);
  for (PictureButton* key : {e->key7Btn, e->key8Btn, e->key9Btn, e->key10Btn}) key->click();
  Pick(e->selectCodeCbox, "0x2C    Spacebar");
  e->modifierBtn8->click();
  Pick(e->selectModifierCbox, "Left Shift");
  e->key8Btn->click(), e->modifierBtn9->click();  // still selected when Reset comes
  e->resetBtn->click();
  EXPECT_EQ(Texts(*e), OpeningTexts);
  EXPECT_EQ(Colours(*e), std::vector<QColor>(4, Black));
  EXPECT_EQ(Background(e->modifierBtn9), e->currentMBColour);
  e->key9Btn->click();
  Pick(e->selectCodeCbox, "0x2C    Spacebar");
  e->modifierBtn9->click();
  Pick(e->selectModifierCbox, "Left Shift");
  twin_->InjectFault(EncoderFault::Refuse);
  e->applyBtn->click();
  EXPECT_EQ(Messages(), QStringList{"Unable to Load Table..\n|Orvane Ovitone"});
  ASSERT_FALSE(Closed(e));
  EXPECT_TRUE(e->isVisible() && e->key9Btn->textColour() == Aqua);
  EXPECT_EQ(e->key9Btn->text() + e->modifierBtn9->text(), "0x2CLeft Shift");
  EXPECT_EQ(twin_->Settings().keyCodeTable, Opening);
  e->applyBtn->click();
  const Table edited = {0xE3, 0x0F, 0x00, 0x10, 0xE1, 0x2C, 0xE7, 0x81};
  EXPECT_EQ(Wire(), Frames({edited, edited}));
  EXPECT_EQ(twin_->Settings().keyCodeTable, edited);
  EXPECT_TRUE(Closed(e));
  ASSERT_TRUE(e = Open());
  e->key7Btn->click();
  Pick(e->selectCodeCbox, "0x04    a");
  e->exitBtn->click();
  EXPECT_TRUE(Closed(e) && Wire().empty());
  // Bytes outside the lists (below 0xE0 in a modifier, unknown key codes) go back as
  // they came unless edited, also after a Reset.
  const Table odd = {0x05, 0x9A, 0xF0, 0xFF, 0xE1, 0x04, 0x00, 0x82};
  SetEncoder(2, odd);
  ASSERT_TRUE(e = Open());
  EXPECT_EQ(e->currentM7Code, 5);  // the opener's conversion keeps bytes below 0xE0
  EXPECT_EQ(Texts(*e), QStringList({"Vol Up 0x9A", "Vol Down 0xFF", "Jack IN  0x04", "Jack OUT  0x82", "0x05", "0xF0",
                                    "Left Shift", " None"}));
  twin_->InjectFault(EncoderFault::Refuse, 2);
  e->applyBtn->click(), e->modifierBtn7->click();
  Pick(e->selectModifierCbox, " None");
  e->applyBtn->click(), e->resetBtn->click();
  EXPECT_EQ(e->modifierBtn7->text(), "0x05");
  e->applyBtn->click();
  EXPECT_EQ(Wire(), Frames({odd, {0x00, 0x9A, 0xF0, 0xFF, 0xE1, 0x04, 0x00, 0x82}, odd}));
  EXPECT_TRUE(Closed(e));
}

}  // namespace
}  // namespace pellix_usb_encoder
