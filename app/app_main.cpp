#include "app/app_main.h"

#include <QApplication>
#include <QFont>

#include "app/main_window.h"
#include "app/splash.h"
#include "support/core/interrupt.h"
#include "support/service/platform.h"
#include "support/ui/user_interaction.h"

namespace pellix_usb_encoder {

namespace {

// The windows name Windows' fonts; elsewhere the metric-compatible Liberation fonts
// (or DejaVu) stand in for them.
void SubstituteFonts() {
  QFont::insertSubstitutions(QStringLiteral("Microsoft Sans Serif"),
                             {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"),
                              QStringLiteral("Arial"), QStringLiteral("Helvetica")});
  QFont::insertSubstitutions(QStringLiteral("Arial Narrow"),
                             {QStringLiteral("Liberation Sans Narrow"),
                              QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Arial")});
}

}  // namespace

int RunProgram(int argc, char** argv,
               const std::function<void(QWidget* mainWindow)>& mainWindowShown) {
  // A kill or a logout during a save leaves no temporary file beside the user's files.
  InstallInterruptCleanup();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Ovitone Configuration Utility"));
  QApplication::setDesktopFileName(QStringLiteral("org.pellix.OvitoneUtility"));
  SubstituteFonts();
  ui::InstallResponsiveWaits();

  Form1 form;  // built now; nothing talks to the encoder yet
  {
    // The splash shows for 3000 ms while the main thread waits; the wait keeps the
    // event loop turning so that the splash paints.
    orvane_splash_form splash;
    splash.show();
    platform::SleepMs(3000);
  }
  form.ShowFirstTime();
  if (mainWindowShown) mainWindowShown(&form);
  app.exec();
  return 0;
}

}  // namespace pellix_usb_encoder
