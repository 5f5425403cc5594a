// The about window and the pictures the program carries as resources.
#include <gtest/gtest.h>

#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include "support/ui/about_window.h"

namespace pellix_usb_encoder {
namespace {

// Version and product number come from the version resource and fill the window when it is
// first shown; nothing overlaps or runs off the window; Close hides it.
TEST(AboutWindowTest, FirstShowFillsVersionAndProductNumberAndCloseHides) {
  about window;
  EXPECT_TRUE(window.versionLbl->text().isEmpty());
  window.show();
  EXPECT_EQ(window.versionLbl->text() + "|" + window.label3->text() + "|" + window.partNoLbl->text(),
            "Version 3.1|Part No |Ovitone");
  EXPECT_EQ(about::versionNo + "|" + about::partNo, "3.1|Ovitone");
  EXPECT_FALSE(window.pictureBox1->pixmap().isNull());
  const auto* rule = window.findChild<QFrame*>("rule");
  ASSERT_NE(rule, nullptr);
  EXPECT_LE(window.label1->heightForWidth(window.label1->width()), window.label1->height());  // the heading wraps
  EXPECT_LE(std::max(window.label1->geometry().bottom(), window.pictureBox1->geometry().bottom()), rule->geometry().top());
  EXPECT_LT(window.versionLbl->geometry().right(), window.label3->x());
  for (QWidget* child : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    EXPECT_TRUE(window.rect().contains(child->geometry())) << child->objectName().toStdString();
  window.button2->click();
  EXPECT_FALSE(window.isVisible());
}

TEST(ResourcesTest, PicturesAreEmbeddedAndTheIconsAtTheirSizes) {
  for (const char* name : {":/splash.png", ":/ovitone.png", ":/about.png"}) EXPECT_FALSE(QPixmap(name).isNull()) << name;
  for (int size : {32, 48, 64}) EXPECT_EQ(QPixmap(QString(":/ovitone-%1.png").arg(size)).size(), QSize(size, size));
}

}  // namespace
}  // namespace pellix_usb_encoder
