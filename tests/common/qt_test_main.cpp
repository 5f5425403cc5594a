// main() of the test programs that need a QApplication. Runs headless by default.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>

#include "support/ui/user_interaction.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QFont::insertSubstitutions(QStringLiteral("Microsoft Sans Serif"),
                             {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"), QStringLiteral("Tahoma")});
  // The windows wait for the encoder as they do in the program.
  pellix_usb_encoder::ui::InstallResponsiveWaits();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
