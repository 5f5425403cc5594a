#include "support/service/background_worker.h"

#include <QDeadlineTimer>
#include <QThread>

namespace pellix_usb_encoder {


BackgroundWorker::BackgroundWorker(QObject* parent) : QObject(parent) {}

BackgroundWorker::~BackgroundWorker() {
  WaitForWork();
  delete thread_;
}

void BackgroundWorker::SetWork(Work work) { work_ = std::move(work); }

bool BackgroundWorker::RunWorkerAsync() {
  if (busy_ || !work_) return false;
  busy_ = true;
  failed_ = false;
  args_ = DoWorkEventArgs{};
  thread_ = QThread::create([this] {
    try {
      work_(*this, args_);
    } catch (...) {
      failed_ = true;
    }
  });
  connect(thread_, &QThread::finished, this, &BackgroundWorker::OnThreadFinished,
          Qt::QueuedConnection);
  thread_->start();
  return true;
}

void BackgroundWorker::ReportProgress(int percent, const QString& text) {
  emit ProgressChanged(percent, text);
}

void BackgroundWorker::WaitForWork() {
  if (thread_ != nullptr) thread_->wait();
}

bool BackgroundWorker::WaitForWork(int timeoutMs) {
  return thread_ == nullptr || thread_->wait(QDeadlineTimer(timeoutMs));
}

void BackgroundWorker::OnThreadFinished() {
  if (thread_ == nullptr) return;
  thread_->wait();
  delete thread_;
  thread_ = nullptr;
  busy_ = false;
  emit RunWorkerCompleted(failed_ ? QVariant() : args_.Result, failed_);
}

}  // namespace pellix_usb_encoder
