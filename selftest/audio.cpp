// The self test's player and recorder on Qt Multimedia.
//
// The test sound resources/media/"Audio Test.mp3" (2.9 s, 2.5 s of it sound: a two-note
// chime, G5 then C6, and a voice saying "Ovitone audio test"; 64 kbit/s mono, 44.1 kHz)
// was made with Debian's sox 14.4.2, espeak-ng 1.51 and lame 3.100:
//
//   R=22050
//   sox -n -r $R -c 1 g1.wav synth 1.2 sine 784 fade l 0.005 1.2 1.15 gain -4
//   sox -n -r $R -c 1 g2.wav synth 1.2 sine 1568 fade l 0.005 0.6 0.55 gain -14
//   sox -n -r $R -c 1 c1.wav synth 1.4 sine 1046.5 fade l 0.005 1.4 1.35 gain -4
//   sox -n -r $R -c 1 c2.wav synth 1.4 sine 2093 fade l 0.005 0.7 0.65 gain -14
//   sox -m g1.wav g2.wav note1.wav
//   sox -m c1.wav c2.wav note2.wav pad 0.28 0
//   sox -m note1.wav note2.wav chime.wav
//   espeak-ng -v en-us -s 145 -p 45 -w speech_raw.wav "Ovitone audio test"
//   sox speech_raw.wav -r $R -c 1 speech.wav pad 1.05 0 gain -2
//   sox -m chime.wav speech.wav -c 1 mix.wav norm -1 fade q 0.005 -0 0.15
//   lame --quiet -b 64 -m m --resample 44.1 mix.wav "Audio Test.mp3"
//
// Encode at 44.1 kHz, not at the mix's 22.05 kHz: there a frame holds 576 samples, fewer
// than the encoder and decoder delays together (576 + 529), so with the gapless trim the
// first frame decodes to nothing, and GStreamer's mpg123 decoder prints a failed
// assertion ("size > 0") on every play. A 44.1 kHz frame holds 1152 samples.
//
// Behaviour without a sound device (or without a running sound server): the player
// reports its error to Qt's log and plays nothing, the default recording device is
// null, so the recorder cannot record. No call waits for a device.
#include "selftest/audio.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioOutput>
#include <QAudioSink>
#include <QAudioSource>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QTemporaryFile>
#include <QUrl>

#include <utility>

namespace pellix_usb_encoder {

namespace {

// A recording stops by itself at this size (several minutes of sound).
constexpr qint64 MaxRecordingBytes = 32 * 1024 * 1024;

// Mono 16-bit at 44.1 kHz when the device takes it, else what the device prefers.
QAudioFormat RecordingFormat(const QAudioDevice& input) {
  QAudioFormat format;
  format.setSampleRate(44100);
  format.setChannelCount(1);
  format.setSampleFormat(QAudioFormat::Int16);
  if (input.isNull() || input.isFormatSupported(format)) return format;
  return input.preferredFormat();
}

class QtAudioDevice final : public AudioDevice {
 public:
  ~QtAudioDevice() override { Close(); }

  void Close() override {
    if (player_) {
      player_->stop();
      player_->setSource(QUrl());
    }
    StopSink();
    if (source_) {
      source_->stop();
      source_.reset();
    }
    recording_ = false;
    recorderOpen_ = false;
    recorded_.reset();
  }

  void PlayTestSound(const QString& path) override {
    Close();
    const QUrl url = PlayableUrl(path);
    if (url.isEmpty()) return;
    if (!player_) {
      output_ = std::make_unique<QAudioOutput>();  // follows the default output device
      player_ = std::make_unique<QMediaPlayer>();
      player_->setAudioOutput(output_.get());
    }
    player_->setSource(url);
    player_->play();
  }

  void OpenRecorder() override {
    Close();
    recorderOpen_ = true;
    recorded_ = std::make_unique<QBuffer>();
    const QAudioDevice input = QMediaDevices::defaultAudioInput();
    if (input.isNull()) return;
    format_ = RecordingFormat(input);
    source_ = std::make_unique<QAudioSource>(input, format_);
    // Open the device once now: a device that is listed but refuses to open (busy, no
    // permission, a dead sound server) counts as one that cannot record.
    recorded_->open(QIODevice::WriteOnly);
    source_->start(recorded_.get());
    const bool opened = source_->error() == QAudio::NoError &&
                        source_->state() != QAudio::StoppedState;
    source_->stop();
    recorded_->close();
    recorded_->setData(QByteArray());
    if (!opened) source_.reset();
  }

  bool CanRecord() override { return recorderOpen_ && source_ != nullptr; }

  void StartRecording() override {
    if (!source_ || !recorded_) return;
    StopSink();
    source_->stop();
    recorded_->close();
    recorded_->setData(QByteArray());
    recorded_->open(QIODevice::WriteOnly);
    QObject::disconnect(sizeWatch_);
    sizeWatch_ = QObject::connect(recorded_.get(), &QBuffer::bytesWritten, recorded_.get(), [this] {
      if (recording_ && recorded_->size() > MaxRecordingBytes && source_) source_->stop();
    });
    source_->start(recorded_.get());
    recording_ = source_->error() == QAudio::NoError && source_->state() != QAudio::StoppedState;
  }

  bool StopRecording() override {
    if (!source_ || !recording_) return false;
    source_->stop();
    recording_ = false;
    QObject::disconnect(sizeWatch_);
    recorded_->close();
    return true;
  }

  bool CanPlayRecording() override {
    return recorded_ && !recording_ && !recorded_->data().isEmpty() &&
           !QMediaDevices::defaultAudioOutput().isNull();
  }

  void PlayRecording() override {
    if (!CanPlayRecording()) return;
    StopSink();
    playback_ = std::make_unique<QBuffer>();
    playback_->setData(recorded_->data());
    playback_->open(QIODevice::ReadOnly);
    sink_ = std::make_unique<QAudioSink>(QMediaDevices::defaultAudioOutput(), format_);
    // Idle: everything has been played. The sink is stopped later, not inside its own
    // signal.
    QObject::connect(sink_.get(), &QAudioSink::stateChanged, sink_.get(),
                     [sink = sink_.get()](QAudio::State state) {
                       if (state == QAudio::IdleState) sink->stop();
                     }, Qt::QueuedConnection);
    sink_->start(playback_.get());
  }

 private:
  // A URL the player can open for `path`: the file itself, or for an embedded copy a
  // temporary file holding its bytes (not every media back end reads Qt resources).
  // Empty when there is nothing to play.
  QUrl PlayableUrl(const QString& path) {
    if (!path.startsWith(QLatin1Char(':'))) {
      return QFileInfo(path).isFile() ? QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath())
                                      : QUrl();
    }
    if (embeddedPath_ != path || !embeddedCopy_) {
      embeddedCopy_.reset();
      embeddedPath_.clear();
      QFile embedded(path);
      if (!embedded.open(QIODevice::ReadOnly)) return QUrl();
      auto copy = std::make_unique<QTemporaryFile>(QDir::tempPath() +
                                                   QStringLiteral("/ovitone-sound-XXXXXX.mp3"));
      if (!copy->open() || copy->write(embedded.readAll()) != embedded.size()) return QUrl();
      copy->flush();
      embeddedCopy_ = std::move(copy);
      embeddedPath_ = path;
    }
    return QUrl::fromLocalFile(embeddedCopy_->fileName());
  }

  void StopSink() {
    if (sink_) {
      sink_->stop();
      sink_.reset();
    }
    playback_.reset();
  }

  // Order matters on destruction: the player before its output.
  std::unique_ptr<QAudioOutput> output_;
  std::unique_ptr<QMediaPlayer> player_;
  std::unique_ptr<QTemporaryFile> embeddedCopy_;
  QString embeddedPath_;

  QAudioFormat format_;
  std::unique_ptr<QBuffer> recorded_;
  std::unique_ptr<QAudioSource> source_;
  QMetaObject::Connection sizeWatch_;
  bool recorderOpen_ = false;
  bool recording_ = false;

  std::unique_ptr<QBuffer> playback_;
  std::unique_ptr<QAudioSink> sink_;
};

}  // namespace

std::unique_ptr<AudioDevice> CreateSystemAudioDevice() { return std::make_unique<QtAudioDevice>(); }

}  // namespace pellix_usb_encoder
