// The self test's player and recorder.
//
// The window plays the test sound "Audio Test.mp3", and records from the default
// recording device and plays the recording back, through this small interface. The
// program uses Qt Multimedia, on Windows the system's MCI; tests install a factory that
// hands out a fake.
//
// An AudioDevice holds at most one player or recorder at a time, like the window's one
// audio handle: starting one closes the other. Every call is made on the GUI thread and
// returns at once; nothing here waits for a sound device, so a machine without one
// plays nothing and cannot record, but never blocks the window.
#pragma once

#include <QString>

#include <functional>
#include <memory>

namespace pellix_usb_encoder {

class AudioDevice {
 public:
  virtual ~AudioDevice() = default;

  // Stops and drops the current player or recorder, with its recording. Harmless when
  // there is none.
  virtual void Close() = 0;

  // Closes what is open, then plays the sound file at `path` from its start. The path
  // may name a file or an embedded resource (":/..."). A missing or unreadable file
  // plays nothing, silently.
  virtual void PlayTestSound(const QString& path) = 0;

  // Closes what is open and opens a recorder on the default recording device with an
  // empty recording.
  virtual void OpenRecorder() = 0;
  // True when the open recorder can record: there is a recording device and it opened.
  // False without a recorder.
  virtual bool CanRecord() = 0;
  // Empties the recording and records into it from the start.
  virtual void StartRecording() = 0;
  // Stops recording. False when there was no recording in progress to stop.
  virtual bool StopRecording() = 0;
  // True when there is something recorded that can be played back.
  virtual bool CanPlayRecording() = 0;
  // Plays the recording from its start on the default output.
  virtual void PlayRecording() = 0;
};

// Makes the audio device of a new self-test window.
using AudioFactory = std::function<std::unique_ptr<AudioDevice>()>;

// Replaces the factory; an empty one restores the system's device. Set it on the GUI thread
// while no self-test window exists.
void SetAudioFactory(AudioFactory factory);

// A new device from the installed factory (the system's unless replaced).
std::unique_ptr<AudioDevice> CreateAudioDevice();

// The system's device itself (Qt Multimedia; MCI on Windows), whatever factory is
// installed.
std::unique_ptr<AudioDevice> CreateSystemAudioDevice();

}  // namespace pellix_usb_encoder
