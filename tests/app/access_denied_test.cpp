// The main window when the encoder is on the bus but may not be opened (no udev rule):
// the "not connected" message gains a line on installing the rule; a plain absence
// keeps the message as it was.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <memory>

#include "app/main_window.h"
#include "common/fake_interaction.h"
#include "common/window_test_support.h"
#include "device/device_lock.h"
#include "device/hid_transport.h"
#include "sim/encoder_twin.h"
#include "support/service/platform.h"


namespace pellix_usb_encoder {
namespace {

using sim::Bus;

const QString NotConnected = "Orvane Ovitone  not connected..";
const QString DeniedLine =
    "\nThe encoder is on the USB bus but this user may not open it. Install the udev rule "
    "(see README: sudo cp packaging/70-ovitone-hid.rules /lib/udev/rules.d/ && "
    "sudo udevadm control --reload-rules && sudo udevadm trigger), then unplug and replug "
    "the encoder.";

class AccessDeniedTest : public testing::MainWindowFixture {
 protected:  // The texts of the messages since the last call, each checked for the window's form.
  QStringList Messages() {
    QStringList out;
    for (const auto& m : fake_.messages) {
      EXPECT_EQ(m.caption, "Orvane Ovitone ");
      EXPECT_EQ(m.buttons, ui::Buttons::Ok);
      EXPECT_EQ(m.icon, ui::Icon::Warning);
      out << m.text;
    }
    fake_.messages.clear();
    return out;
  }

  testing::FakeInteraction fake_;
};

TEST_F(AccessDeniedTest, EncoderListedButNotOpenableAddsTheUdevHint) {
  auto twin = sim::PlugEncoder();
  Bus::Instance().SetOpenFails(true);
  Form1 form;
  form.Form1_Load();
  EXPECT_EQ(Messages(), QStringList({NotConnected + DeniedLine + "\n"}));
  EXPECT_TRUE(form.richTextBox1->toPlainText().startsWith("Device Connected   -    None"));
  EXPECT_FALSE(form.button1->isEnabled());

  // Scanning again while still denied repeats the hint.
  form.button11->click();
  EXPECT_EQ(Messages(), QStringList({NotConnected + DeniedLine + "\n"}));

  // Access granted (rule installed, encoder replugged): the scan connects, no message.
  Bus::Instance().SetOpenFails(false);
  form.button11->click();
  EXPECT_EQ(Messages(), QStringList());
  EXPECT_TRUE(form.button1->isEnabled());

  // Unplugged afterwards: the plain message, without the hint.
  Bus::Instance().Unplug(*twin);
  form.button11->click();
  EXPECT_EQ(Messages(), QStringList({NotConnected + "\n"}));
}

TEST_F(AccessDeniedTest, NoEncoderKeepsThePlainMessageEvenWhenOpensWouldFail) {
  Bus::Instance().SetOpenFails(true);
  Form1 form;
  form.Form1_Load();
  EXPECT_EQ(Messages(), QStringList({NotConnected + "\n"}));
}

}  // namespace
}  // namespace pellix_usb_encoder
