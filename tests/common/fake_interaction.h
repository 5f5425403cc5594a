// Stands in for the user: records every message box and dialog the program asks for,
// and answers them from queues the test fills.
#pragma once

#include <QString>
#include <deque>
#include <vector>

#include "support/ui/user_interaction.h"

namespace pellix_usb_encoder::testing {

class FakeInteraction : public ui::Interaction {
 public:
  FakeInteraction() { ui::SetInteraction(this); }
  ~FakeInteraction() override { ui::SetInteraction(nullptr); }

  ui::Answer Message(const ui::MessageRequest& request) override {
    messages.push_back(request);
    return Next(answers, request.buttons == ui::Buttons::YesNo ? ui::Answer::Yes : ui::Answer::Ok);
  }
  QString OpenFile(const ui::OpenFileRequest& request) override {
    openRequests.push_back(request);
    return Next(files);
  }
  QString Folder(const ui::FolderRequest& request) override {
    folderRequests.push_back(request);
    return Next(folders);
  }
  QString CustomBox(const QString& text, int messageType) override {
    customBoxes.emplace_back(text, messageType);
    return Next(customAnswers, QStringLiteral("Cancel"));
  }

  std::vector<ui::MessageRequest> messages;
  std::vector<ui::OpenFileRequest> openRequests;
  std::vector<ui::FolderRequest> folderRequests;
  std::vector<std::pair<QString, int>> customBoxes;
  std::deque<ui::Answer> answers;   // for Message; default Ok (or Yes for questions)
  std::deque<QString> files;        // for OpenFile; empty queue = Cancel
  std::deque<QString> folders;      // for Folder; empty queue = Cancel
  std::deque<QString> customAnswers;

 private:
  template <typename T>
  static T Next(std::deque<T>& queue, T otherwise = T()) {
    if (queue.empty()) return otherwise;
    T value = queue.front();
    queue.pop_front();
    return value;
  }
};

}  // namespace pellix_usb_encoder::testing
