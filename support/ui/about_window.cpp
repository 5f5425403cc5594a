#include "support/ui/about_window.h"

#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>
#include <QTextBrowser>

namespace pellix_usb_encoder {

namespace {

// Client area; with a usual dialog frame the window is 480 x 500 on the desktop.
constexpr int ClientWidth = 464;
constexpr int ClientHeight = 461;

const char* const DialogFontFamily = "Microsoft Sans Serif";

// What the text box says: the line about the device, then who made this program and
// on what terms.
QString NoticeText() {
  return QStringLiteral(
      "This software works with Orvane's Ovitone.\n"
      "\n"
      "Ovitone USB Utility \u2014 an open configuration utility for the Ovitone USB encoder.\n"
      "Copyright \u00A9 2026 the Ovitone USB Utility developers.\n"
      "Licensed under the MIT licence; provided without warranty.\n"
      "Report problems through the project's issue tracker.");
}

}  // namespace

QString version::GetString(const QString& name) {
  if (name == QLatin1String("Version")) return QStringLiteral("3.1");
  if (name == QLatin1String("Part_Number")) return QStringLiteral("Ovitone");
  return QString();
}

QString about::versionNo;
QString about::partNo;

about::about(QWidget* parent) : QDialog(parent) {
  // A fixed dialog frame with a title and a close box; dialogs carry no window icon.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowTitle(QStringLiteral("About Ovitone  Configuration Utility"));
  setFont(QFont(QString::fromLatin1(DialogFontFamily), 8));
  setFixedSize(ClientWidth, ClientHeight);
  setSizeGripEnabled(false);

  pictureBox1 = new QLabel(this);
  pictureBox1->setObjectName(QStringLiteral("pictureBox1"));
  const QPixmap picture(QStringLiteral(":/about.png"));
  pictureBox1->setPixmap(picture);
  pictureBox1->setGeometry(20, 15, picture.width(), picture.height());

  label1 = new QLabel(QStringLiteral("Orvane Ovitone  Configuration Utility"), this);
  label1->setObjectName(QStringLiteral("label1"));
  QFont heading(QString::fromLatin1(DialogFontFamily), 12);
  heading.setBold(true);
  label1->setFont(heading);
  // Room up to the right margin; a long title wraps onto a second line above the rule.
  label1->setWordWrap(true);
  label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label1->setGeometry(152, 32, ClientWidth - 152 - 16, 60);

  auto* rule = new QFrame(this);
  rule->setObjectName(QStringLiteral("rule"));
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);
  rule->setGeometry(21, 100, 438 - 21 + 1, 3);

  auto makeLabel = [this](const char* name, const QString& text, int x, int y) {
    auto* label = new QLabel(text, this);
    label->setObjectName(QString::fromLatin1(name));
    label->move(x, y);
    label->adjustSize();
    return label;
  };
  versionLbl = makeLabel("versionLbl", QString(), 14, 102);
  label3 = makeLabel("label3", QStringLiteral("Part No "), 193, 102);
  partNoLbl = makeLabel("partNoLbl", QString(), 237, 102);

  richTextBox1 = new QTextBrowser(this);
  richTextBox1->setObjectName(QStringLiteral("richTextBox1"));
  richTextBox1->setGeometry(16, 158, 423, 217);
  richTextBox1->setReadOnly(true);
  richTextBox1->setOpenExternalLinks(true);
  // The text box takes the colour of the window around it rather than a white page.
  QPalette boxColours = richTextBox1->palette();
  boxColours.setColor(QPalette::Base, palette().color(QPalette::Window));
  richTextBox1->setPalette(boxColours);
  richTextBox1->setPlainText(NoticeText());

  button2 = new QPushButton(QStringLiteral("Close"), this);
  button2->setObjectName(QStringLiteral("button2"));
  button2->setGeometry(349, 402, 90, 28);
  connect(button2, &QPushButton::clicked, this, &about::button2_Click);
}

void about::about_Load() {
  versionNo = version::GetString(QStringLiteral("Version"));
  versionLbl->setText(QStringLiteral("Version ") + versionNo);
  versionLbl->adjustSize();

  partNo = version::GetString(QStringLiteral("Part_Number"));
  partNoLbl->setText(partNo);
  partNoLbl->adjustSize();
}

void about::button2_Click() { close(); }

void about::showEvent(QShowEvent* event) {
  // Fill the labels when the window first appears, not again when it is re-shown.
  if (!loaded_) {
    loaded_ = true;
    about_Load();
  }
  QDialog::showEvent(event);
}

}  // namespace pellix_usb_encoder
