// The program's own message box and the real dialogs behind the interaction seam, answered
// from the GUI thread's event loop the way a user would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <thread>

#include "common/fake_interaction.h"
#include "support/ui/message_box.h"
#include "support/ui/user_interaction.h"

namespace pellix_usb_encoder {
namespace {

using Qorn_test::CustomMessageBox;

template <typename W>
W* ShownWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* window = qobject_cast<W*>(widget); window && window->isVisible()) return window;
  return nullptr;
}

// Once a window of type W is visible, hands it to `act` (on the GUI thread, from inside
// the window's modal loop). Reports a failure if none has appeared after 5000 polls.
template <typename W, typename Act>
void WhenShown(Act act) {
  auto* poll = new QTimer(qApp);
  QObject::connect(poll, &QTimer::timeout, [poll, polls = 0, act]() mutable {
    W* window = ShownWindow<W>();
    if (window == nullptr && ++polls < 5000) return;
    poll->stop(), poll->deleteLater();
    if (window) act(window); else ADD_FAILURE() << "no " << W::staticMetaObject.className() << " appeared";
  });
  poll->start(2);
}

// Runs `work` on a worker thread while the GUI thread runs its events until it is done,
// sleeping a little between rounds of events, for at most ten seconds.
template <typename Work>
void RunOnWorker(Work work) {
  std::atomic<bool> done{false};
  std::thread worker([&] { work(), done = true; });
  for (const QDeadlineTimer deadline(10000); !done && !deadline.hasExpired(); QThread::msleep(1))
    QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
  EXPECT_TRUE(done) << "the worker is still waiting";
  while (QDialog* box = ShownWindow<QDialog>()) box->close();
  worker.join();
}

// Type 1 shows only its OK button, which answers "Cancel"; type 0 answers Yes or No, and
// Escape or closing the window answers "Cancel", whatever the box before answered.
TEST(CustomMessageBoxTest, ButtonsAndAnswers) {
  WhenShown<CustomMessageBox>([](CustomMessageBox* box) {
    EXPECT_TRUE(box->isModal() && (box->windowFlags() & Qt::WindowStaysOnTopHint));
    EXPECT_EQ(box->warningLabel_->text(), "Press each key of the jack module.");
    EXPECT_FALSE(box->yesButton_->isVisible() || box->noButton_->isVisible());
    EXPECT_EQ(box->cancelButton_->text(), "OK");
    box->cancelButton_->click();
  });
  EXPECT_EQ(CustomMessageBox::ShowBox("Press each key of the jack module.", 1), "Cancel");
  WhenShown<CustomMessageBox>([](CustomMessageBox* box) {
    EXPECT_TRUE(box->yesButton_->isVisible() && box->noButton_->isVisible());
    EXPECT_EQ(box->cancelButton_->text(), "Cancel");
    box->yesButton_->click();
  });
  EXPECT_EQ(CustomMessageBox::ShowBox("Continue?", 0), "Yes");
  WhenShown<CustomMessageBox>([](CustomMessageBox* box) { box->close(); });
  EXPECT_EQ(CustomMessageBox::ShowBox("Continue?", 1), "Cancel");
  WhenShown<CustomMessageBox>([](CustomMessageBox* box) { box->yesButton_->click(); });
  EXPECT_EQ(CustomMessageBox::ShowBox("Continue?", 0), "Yes");
  WhenShown<CustomMessageBox>([](CustomMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
  EXPECT_EQ(CustomMessageBox::ShowBox("Continue?", 0), "Cancel");
}

// Asked from a worker, the box appears on the GUI thread and the worker waits for the
// user's answer; an installed handler answers instead of a box, on either thread.
TEST(CustomMessageBoxTest, FromAWorkerOrThroughTheHandler) {
  QThread* boxThread = nullptr;
  WhenShown<CustomMessageBox>([&](CustomMessageBox* box) { boxThread = box->thread(), box->noButton_->click(); });
  QString answer;
  RunOnWorker([&] { answer = CustomMessageBox::ShowBox("Press Volume Up", 0); });
  EXPECT_EQ(answer, "No");
  EXPECT_EQ(boxThread, qApp->thread());
  testing::FakeInteraction fake;
  fake.customAnswers.push_back("Yes");
  EXPECT_EQ(CustomMessageBox::ShowBox("Press the keys", 1), "Yes");
  RunOnWorker([&] { answer = CustomMessageBox::ShowBox("Again", 0); });
  EXPECT_EQ(answer, "Cancel");
  EXPECT_EQ(fake.customBoxes, (std::vector<std::pair<QString, int>>{{"Press the keys", 1}, {"Again", 0}}));
  EXPECT_EQ(ShownWindow<CustomMessageBox>(), nullptr);
}

TEST(ShowMessageTest, RealBoxShowsIconsButtonsAndReturnsTheChoice) {
  WhenShown<QMessageBox>([](QMessageBox* box) {
    EXPECT_EQ(box->text() + "|" + box->windowTitle(), "Device not found\n|Orvane Ovitone ");
    EXPECT_TRUE(box->icon() == QMessageBox::Warning && box->standardButtons() == QMessageBox::Ok);
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(ui::ShowMessage(nullptr, "Device not found\n", "Orvane Ovitone "), ui::Answer::Ok);
  WhenShown<QMessageBox>([](QMessageBox* box) {
    EXPECT_TRUE(box->icon() == QMessageBox::Question && box->standardButtons() == (QMessageBox::Yes | QMessageBox::No));
    box->button(QMessageBox::Yes)->click();
  });
  EXPECT_EQ(ui::ShowMessage(nullptr, "Upgrade?", "Orvane Ovitone ", ui::Buttons::YesNo, ui::Icon::Question),
            ui::Answer::Yes);
  // Escape on a question means No. From a worker, the box still appears on the GUI thread.
  WhenShown<QMessageBox>([](QMessageBox* box) {
    EXPECT_TRUE(box->icon() == QMessageBox::Critical && box->thread() == qApp->thread());
    QTest::keyClick(box, Qt::Key_Escape);
  });
  ui::Answer fromWorker = ui::Answer::Ok;
  RunOnWorker([&] {
    fromWorker = ui::ShowMessage(nullptr, "Retry?", "Orvane Ovitone ", ui::Buttons::YesNo, ui::Icon::Error);
  });
  EXPECT_EQ(fromWorker, ui::Answer::No);
}

// The file and folder dialogs open preset as asked and return the choice, or nothing.
TEST(FileDialogsTest, OpenFileAndFolderPresetTheDialogAndReturnTheChoice) {
  QTemporaryDir folder;
  std::ofstream(folder.filePath("settings.ini").toStdString()) << "[Ovitone]\n";
  WhenShown<QFileDialog>([&](QFileDialog* dialog) {
    EXPECT_EQ(dialog->windowTitle() + "|" + dialog->directory().absolutePath(), "Open settings|" + QDir(folder.path()).absolutePath());
    EXPECT_EQ(dialog->nameFilters(), QStringList({"Settings (*.ini)", "All files (*)"}));
    EXPECT_EQ(QFileInfo(dialog->selectedFiles().value(0)).fileName(), "settings.ini");
    static_cast<QDialog*>(dialog)->accept();  // as the Open button does
  });
  const QString chosen = ui::AskOpenFile(
      nullptr, {"Open settings", "Settings (*.ini);;All files (*)", "settings.ini", folder.path()});
  EXPECT_EQ(QFileInfo(chosen).canonicalFilePath(), QFileInfo(folder.filePath("settings.ini")).canonicalFilePath());
  WhenShown<QFileDialog>([&](QFileDialog* dialog) {
    EXPECT_TRUE(dialog->windowTitle() == "Choose the backup folder" && dialog->fileMode() == QFileDialog::Directory);
    static_cast<QDialog*>(dialog)->accept();
  });
  const QString folderChosen = ui::AskFolder(nullptr, {"Choose the backup folder", folder.path()});
  EXPECT_EQ(QFileInfo(folderChosen).canonicalFilePath(), QFileInfo(folder.path()).canonicalFilePath());
  WhenShown<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
  EXPECT_TRUE(ui::AskOpenFile(nullptr, {"Open", "", "", folder.path()}).isEmpty());
  WhenShown<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
  EXPECT_TRUE(ui::AskFolder(nullptr, {"Choose", folder.path()}).isEmpty());
}

}  // namespace
}  // namespace pellix_usb_encoder
