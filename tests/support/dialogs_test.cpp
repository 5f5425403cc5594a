// The program's own message box and the real dialogs behind the interaction seam,
// answered by a timer on the GUI thread the way a user would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <fstream>
#include <memory>
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
// the window's modal loop). Reports a failure if none appears within 10 s.
template <typename W, typename Act>
void WhenShown(Act act) {
  auto* poll = new QTimer(qApp);
  auto since = std::make_shared<QElapsedTimer>();
  since->start();
  QObject::connect(poll, &QTimer::timeout, [poll, since, act] {
    W* window = ShownWindow<W>();
    if (window == nullptr && since->elapsed() < 10000) return;
    poll->stop();
    poll->deleteLater();
    if (window == nullptr)
      ADD_FAILURE() << "no " << W::staticMetaObject.className() << " appeared";
    else
      act(window);
  });
  poll->start(5);
}

// Runs `work` on a worker thread while the GUI thread keeps its event loop going.
template <typename Work>
void RunOnWorker(Work work) {
  QEventLoop loop;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  QTimer::singleShot(15000, &loop, &QEventLoop::quit);
  loop.exec();
  if (!done) {
    ADD_FAILURE() << "the worker is still waiting";
    for (int i = 0; i < 10; ++i)
      if (auto* box = ShownWindow<QDialog>()) box->close();
  }
  worker.join();
}

TEST(CustomMessageBoxTest, ConstructedBoxHasTheLayoutAndTexts) {
  CustomMessageBox box;
  EXPECT_EQ(box.windowTitle(), " Ovitone Message ");
  EXPECT_EQ(box.size(), QSize(420, 140));
  EXPECT_EQ(box.minimumSize(), box.maximumSize());
  EXPECT_FALSE(box.windowFlags() & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint));
  EXPECT_EQ(box.warningLabel_->geometry(), QRect(5, 5, 400, 78));
  EXPECT_EQ(box.warningLabel_->text(), "This may take awhile, do you wish to continue?");
  EXPECT_TRUE(box.warningLabel_->wordWrap());
  EXPECT_EQ(box.yesButton_->geometry(), QRect(10, 87, 70, 22));
  EXPECT_EQ(box.noButton_->geometry(), QRect(180, 87, 70, 22));
  EXPECT_EQ(box.cancelButton_->geometry(), QRect(320, 87, 70, 22));
  EXPECT_EQ(box.yesButton_->text(), "Yes");
  EXPECT_EQ(box.noButton_->text(), "No");
  EXPECT_EQ(box.cancelButton_->text(), "Cancel");
}

TEST(CustomMessageBoxTest, TypeOneShowsOnlyOkWhichAnswersCancel) {
  CustomMessageBox::Button_ID_ = "Yes";
  WhenShown<CustomMessageBox>([](CustomMessageBox* box) {
    EXPECT_TRUE(box->isModal());
    EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(box->warningLabel_->text(), "Press each key of the jack module.");
    EXPECT_EQ(box->warningLabel_->alignment(), Qt::AlignTop | Qt::AlignHCenter);
    EXPECT_FALSE(box->yesButton_->isVisible());
    EXPECT_FALSE(box->noButton_->isVisible());
    EXPECT_TRUE(box->cancelButton_->isVisible());
    EXPECT_EQ(box->cancelButton_->text(), "OK");
    box->cancelButton_->click();
  });
  EXPECT_EQ(CustomMessageBox::ShowBox("Press each key of the jack module.", 1), "Cancel");
  EXPECT_EQ(CustomMessageBox::Button_ID_, "Cancel");
}

TEST(CustomMessageBoxTest, YesNoAnswerAndEscapeOrCloseAnswerCancel) {
  WhenShown<CustomMessageBox>([](CustomMessageBox* box) {
    EXPECT_TRUE(box->yesButton_->isVisible());
    EXPECT_TRUE(box->noButton_->isVisible());
    EXPECT_EQ(box->cancelButton_->text(), "Cancel");
    box->yesButton_->click();
  });
  EXPECT_EQ(CustomMessageBox::ShowBox("Continue?", 0), "Yes");

  WhenShown<CustomMessageBox>([](CustomMessageBox* box) { box->noButton_->click(); });
  EXPECT_EQ(CustomMessageBox::ShowBox("Continue?", 0), "No");

  // Each new box starts from "Cancel", whatever the last one answered.
  WhenShown<CustomMessageBox>([](CustomMessageBox* box) {
    QSignalSpy cancelClicks(box->cancelButton_, &QPushButton::clicked);
    QTest::keyClick(box, Qt::Key_Escape);
    EXPECT_EQ(cancelClicks.count(), 1);
  });
  EXPECT_EQ(CustomMessageBox::ShowBox("Continue?", 0), "Cancel");

  WhenShown<CustomMessageBox>([](CustomMessageBox* box) { box->yesButton_->click(); });
  EXPECT_EQ(CustomMessageBox::ShowBox("Continue?", 0), "Yes");
  WhenShown<CustomMessageBox>([](CustomMessageBox* box) { box->close(); });
  EXPECT_EQ(CustomMessageBox::ShowBox("Continue?", 1), "Cancel");
}

TEST(CustomMessageBoxTest, WorkerWaitsForTheBoxShownOnTheGuiThread) {
  std::atomic<bool> clicked{false};
  QThread* boxThread = nullptr;
  WhenShown<CustomMessageBox>([&](CustomMessageBox* box) {
    boxThread = box->thread();
    // Let the worker prove it is still waiting before the user answers.
    QTest::qWait(50);
    clicked = true;
    box->noButton_->click();
  });
  QString answer;
  bool answeredBeforeClick = true;
  RunOnWorker([&] {
    answer = CustomMessageBox::ShowBox("Press Volume Up", 0);
    answeredBeforeClick = !clicked;
  });
  EXPECT_EQ(answer, "No");
  EXPECT_FALSE(answeredBeforeClick);
  EXPECT_EQ(boxThread, qApp->thread());
}

TEST(CustomMessageBoxTest, InstalledHandlerAnswersInsteadOfABox) {
  testing::FakeInteraction fake;
  fake.customAnswers.push_back("Yes");
  EXPECT_EQ(CustomMessageBox::ShowBox("Press the keys", 1), "Yes");
  QString fromWorker;
  RunOnWorker([&] { fromWorker = CustomMessageBox::ShowBox("Again", 0); });
  EXPECT_EQ(fromWorker, "Cancel");
  ASSERT_EQ(fake.customBoxes.size(), 2u);
  EXPECT_EQ(fake.customBoxes[0], std::make_pair(QString("Press the keys"), 1));
  EXPECT_EQ(fake.customBoxes[1], std::make_pair(QString("Again"), 0));
  EXPECT_EQ(ShownWindow<CustomMessageBox>(), nullptr);
}

TEST(ShowMessageTest, RealBoxShowsIconsButtonsAndReturnsTheChoice) {
  WhenShown<QMessageBox>([](QMessageBox* box) {
    EXPECT_EQ(box->text(), "Device not found\n");
    EXPECT_EQ(box->windowTitle(), "Orvane Ovitone ");
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(ui::ShowMessage(nullptr, "Device not found\n", "Orvane Ovitone "), ui::Answer::Ok);

  WhenShown<QMessageBox>([](QMessageBox* box) {
    EXPECT_EQ(box->icon(), QMessageBox::Question);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    box->button(QMessageBox::Yes)->click();
  });
  EXPECT_EQ(ui::ShowMessage(nullptr, "Upgrade?", "Orvane Ovitone ", ui::Buttons::YesNo,
                            ui::Icon::Question),
            ui::Answer::Yes);

  // Escape on a question means No. From a worker, the box still appears on the GUI thread.
  WhenShown<QMessageBox>([](QMessageBox* box) {
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->thread(), qApp->thread());
    QTest::keyClick(box, Qt::Key_Escape);
  });
  ui::Answer fromWorker = ui::Answer::Ok;
  RunOnWorker([&] {
    fromWorker = ui::ShowMessage(nullptr, "Retry?", "Orvane Ovitone ", ui::Buttons::YesNo,
                                 ui::Icon::Error);
  });
  EXPECT_EQ(fromWorker, ui::Answer::No);
}

TEST(FileDialogsTest, OpenFilePresetsTheDialogAndReturnsTheChoice) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  std::ofstream(folder.filePath("settings.ini").toStdString()) << "[Ovitone]\n";
  WhenShown<QFileDialog>([&](QFileDialog* dialog) {
    EXPECT_EQ(dialog->windowTitle(), "Open settings");
    EXPECT_EQ(dialog->directory().absolutePath(), QDir(folder.path()).absolutePath());
    EXPECT_EQ(dialog->nameFilters(), QStringList({"Settings (*.ini)", "All files (*)"}));
    ASSERT_FALSE(dialog->selectedFiles().isEmpty());
    EXPECT_EQ(QFileInfo(dialog->selectedFiles().first()).fileName(), "settings.ini");
    static_cast<QDialog*>(dialog)->accept();  // as the Open button does
  });
  const QString chosen = ui::AskOpenFile(
      nullptr, {"Open settings", "Settings (*.ini);;All files (*)", "settings.ini", folder.path()});
  EXPECT_EQ(QFileInfo(chosen).canonicalFilePath(),
            QFileInfo(folder.filePath("settings.ini")).canonicalFilePath());

  WhenShown<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
  EXPECT_TRUE(ui::AskOpenFile(nullptr, {"Open", "", "", folder.path()}).isEmpty());
}

TEST(FileDialogsTest, FolderDialogShowsTheDescriptionAndReturnsTheFolder) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  WhenShown<QFileDialog>([&](QFileDialog* dialog) {
    EXPECT_EQ(dialog->windowTitle(), "Choose the backup folder");
    EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
    static_cast<QDialog*>(dialog)->accept();  // as the Open button does
  });
  const QString chosen = ui::AskFolder(nullptr, {"Choose the backup folder", folder.path()});
  EXPECT_EQ(QFileInfo(chosen).canonicalFilePath(), QFileInfo(folder.path()).canonicalFilePath());

  WhenShown<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
  EXPECT_TRUE(ui::AskFolder(nullptr, {"Choose", folder.path()}).isEmpty());
}

}  // namespace
}  // namespace pellix_usb_encoder
