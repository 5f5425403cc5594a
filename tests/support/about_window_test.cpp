// The about window and the pictures the program carries as resources.
#include <gtest/gtest.h>

#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTextBrowser>

#include "support/ui/about_window.h"

namespace pellix_usb_encoder {
namespace {

TEST(AboutWindowTest, FirstShowFillsVersionAndPartNumber) {
  EXPECT_EQ(version::GetString("Version"), "3.1");
  EXPECT_EQ(version::GetString("Part_Number"), "Ovitone");
  EXPECT_TRUE(version::GetString("Serial").isEmpty());

  about window;
  EXPECT_TRUE(window.versionLbl->text().isEmpty());
  window.show();
  EXPECT_EQ(window.versionLbl->text(), "Version 3.1");
  EXPECT_EQ(window.label3->text(), "Part No ");
  EXPECT_EQ(window.partNoLbl->text(), "Ovitone");
  EXPECT_EQ(about::versionNo, "3.1");
  EXPECT_EQ(about::partNo, "Ovitone");
}

TEST(AboutWindowTest, LayoutTextsAndClose) {
  about window;
  window.show();
  EXPECT_EQ(window.windowTitle(), "About Ovitone  Configuration Utility");
  EXPECT_EQ(window.size(), QSize(464, 461));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  EXPECT_EQ(window.label1->text(), "Orvane Ovitone  Configuration Utility");
  EXPECT_EQ(window.label1->pos(), QPoint(152, 32));
  EXPECT_TRUE(window.label1->font().bold());
  EXPECT_GT(window.label1->font().pointSizeF(), window.label3->font().pointSizeF());

  // The picture comes from the embedded resources and the label is sized to it.
  const QPixmap picture = window.pictureBox1->pixmap();
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(window.pictureBox1->geometry(), QRect(QPoint(20, 15), picture.size()));

  // Nothing overlaps or runs off the window: the heading wraps above the rule, the
  // "Version", "Part No " and part number read side by side.
  const QRect client = window.rect();
  const auto* rule = window.findChild<QFrame*>("rule");
  ASSERT_NE(rule, nullptr);
  EXPECT_EQ(rule->frameShape(), QFrame::HLine);
  EXPECT_LE(window.label1->heightForWidth(window.label1->width()), window.label1->height());
  EXPECT_LE(window.label1->geometry().bottom(), rule->geometry().top());
  EXPECT_LE(window.pictureBox1->geometry().bottom(), rule->geometry().top());
  EXPECT_LT(window.versionLbl->geometry().right(), window.label3->x());
  EXPECT_LE(window.label3->geometry().right(), window.partNoLbl->x() + 2);
  for (QWidget* child : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    EXPECT_TRUE(client.contains(child->geometry())) << child->objectName().toStdString();

  EXPECT_EQ(window.richTextBox1->geometry(), QRect(16, 158, 423, 217));
  EXPECT_TRUE(window.richTextBox1->isReadOnly());
  const QString text = window.richTextBox1->toPlainText();
  EXPECT_TRUE(text.startsWith("This software works with Orvane's Ovitone.\n")) << text.toStdString();
  EXPECT_TRUE(text.contains("Copyright"));

  EXPECT_EQ(window.button2->geometry(), QRect(349, 402, 90, 28));
  EXPECT_EQ(window.button2->text(), "Close");
  window.button2->click();
  EXPECT_FALSE(window.isVisible());
}

TEST(ResourcesTest, PicturesAreEmbeddedAtTheirSizes) {
  EXPECT_EQ(QPixmap(":/splash.png").size(), QSize(722, 415));
  EXPECT_EQ(QPixmap(":/ovitone.png").size(), QSize(256, 256));
  EXPECT_EQ(QPixmap(":/about.png").size(), QSize(120, 80));
  for (int size : {32, 48, 64})
    EXPECT_EQ(QPixmap(QString(":/ovitone-%1.png").arg(size)).size(), QSize(size, size));
}

}  // namespace
}  // namespace pellix_usb_encoder
