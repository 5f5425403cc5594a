// The self test's player and recorder on Windows: the system's Media Control Interface
// (winmm), which plays MP3 files through DirectShow and records from the default
// recording device without anything else installed.
//
// One MCI device is open at a time, under one alias, like the window's one audio handle.
// Every command returns at once ("play" without "wait"); a machine without a sound device
// gets an error back from MCI and plays or records nothing.
#include "selftest/audio.h"

#include <windows.h>
#include <mmsystem.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <memory>
#include <utility>

namespace pellix_usb_encoder {

namespace {

// Sends one MCI command string; true when MCI took it.
bool Mci(const QString& command, QString* answer = nullptr) {
  wchar_t reply[256] = {};
  const MCIERROR error = mciSendStringW(reinterpret_cast<const wchar_t*>(command.utf16()), reply,
                                        static_cast<UINT>(std::size(reply)), nullptr);
  if (answer != nullptr) *answer = QString::fromWCharArray(reply);
  return error == 0;
}

QString Quoted(const QString& path) {
  return QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"');
}

class MciAudioDevice final : public AudioDevice {
 public:
  ~MciAudioDevice() override { Close(); }

  void Close() override {
    if (open_) Mci(QStringLiteral("close ovitone"));
    open_ = false;
    recorder_ = false;
    recording_ = false;
    recorded_ = false;
  }

  void PlayTestSound(const QString& path) override {
    Close();
    const QString file = PlayableFile(path);
    if (file.isEmpty()) return;
    open_ = Mci(QStringLiteral("open %1 type mpegvideo alias ovitone").arg(Quoted(file)));
    if (open_) Mci(QStringLiteral("play ovitone from 0"));
  }

  void OpenRecorder() override {
    Close();
    // A new, empty wave recording on the default recording device.
    open_ = Mci(QStringLiteral("open new type waveaudio alias ovitone"));
    if (!open_) return;
    Mci(QStringLiteral("set ovitone time format ms bitspersample 16 channels 1 samplespersec 44100"));
    recorder_ = true;
  }

  bool CanRecord() override {
    QString inputs;
    return recorder_ && open_ && waveInGetNumDevs() > 0 &&
           Mci(QStringLiteral("capability ovitone can record"), &inputs) &&
           inputs.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0;
  }

  void StartRecording() override {
    if (!recorder_ || !open_) return;
    Mci(QStringLiteral("stop ovitone"));
    // "record ... overwrite" from the start empties what was recorded before.
    recording_ = Mci(QStringLiteral("record ovitone from 0 overwrite"));
    recorded_ = false;
  }

  bool StopRecording() override {
    if (!recording_) return false;
    Mci(QStringLiteral("stop ovitone"));
    recording_ = false;
    QString length;
    recorded_ = Mci(QStringLiteral("status ovitone length"), &length) && length.toLongLong() > 0;
    return true;
  }

  bool CanPlayRecording() override {
    return recorder_ && open_ && !recording_ && recorded_ && waveOutGetNumDevs() > 0;
  }

  void PlayRecording() override {
    if (CanPlayRecording()) Mci(QStringLiteral("play ovitone from 0"));
  }

 private:
  // A file MCI can open for `path`: the file itself, or for an embedded copy a temporary
  // file holding its bytes. Empty when there is nothing to play.
  QString PlayableFile(const QString& path) {
    if (!path.startsWith(QLatin1Char(':'))) {
      return QFileInfo(path).isFile() ? QFileInfo(path).absoluteFilePath() : QString();
    }
    if (embeddedPath_ != path || !embeddedCopy_) {
      embeddedCopy_.reset();
      embeddedPath_.clear();
      QFile embedded(path);
      if (!embedded.open(QIODevice::ReadOnly)) return {};
      auto copy = std::make_unique<QTemporaryFile>(QDir::tempPath() +
                                                   QStringLiteral("/ovitone-sound-XXXXXX.mp3"));
      if (!copy->open() || copy->write(embedded.readAll()) != embedded.size()) return {};
      copy->flush();
      embeddedCopy_ = std::move(copy);
      embeddedPath_ = path;
    }
    return embeddedCopy_->fileName();
  }

  bool open_ = false;
  bool recorder_ = false;
  bool recording_ = false;
  bool recorded_ = false;
  std::unique_ptr<QTemporaryFile> embeddedCopy_;
  QString embeddedPath_;
};

}  // namespace

std::unique_ptr<AudioDevice> CreateSystemAudioDevice() { return std::make_unique<MciAudioDevice>(); }

}  // namespace pellix_usb_encoder
