// A thread for one piece of work at a time, for windows and programs that must keep
// their own thread free: the firmware upgrade and the self test run their sequences on it.
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>

class QThread;

namespace pellix_usb_encoder {

// Runs one piece of work at a time on its own thread and reports back on the thread
// that owns it: progress as it comes, then completion once the work has returned.
class BackgroundWorker : public QObject {
  Q_OBJECT

 public:
  // What the work hands back: its result, read by the completion handler.
  struct DoWorkEventArgs {
    QVariant Result;
  };
  using Work = std::function<void(BackgroundWorker& worker, DoWorkEventArgs& e)>;

  explicit BackgroundWorker(QObject* parent = nullptr);
  // Waits for running work: a thread is never torn down under it.
  ~BackgroundWorker() override;

  void SetWork(Work work);
  // True from RunWorkerAsync until just before RunWorkerCompleted is emitted.
  bool IsBusy() const { return busy_; }
  // Starts the work on a new thread; false (nothing started) while busy.
  bool RunWorkerAsync();
  // Called by the work: delivers (percent, text) to ProgressChanged on the owner's thread.
  void ReportProgress(int percent, const QString& text);
  // Blocks until running work has returned (its completion is still delivered later).
  void WaitForWork();
  // The same for at most `timeoutMs`; true once no work runs.
  bool WaitForWork(int timeoutMs);

 signals:
  void ProgressChanged(int percent, const QString& text);
  // `error` is set when the work ended by an exception; `result` is then invalid.
  void RunWorkerCompleted(const QVariant& result, bool error);

 private slots:
  void OnThreadFinished();

 private:
  Work work_;
  QThread* thread_ = nullptr;
  bool busy_ = false;
  DoWorkEventArgs args_;
  bool failed_ = false;
};

}  // namespace pellix_usb_encoder
