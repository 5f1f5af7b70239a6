// The batch tool's side of the platform interface: message boxes become lines on a stream,
// worker threads run at once on the calling thread, and the open-file dialog answers with the
// file given on the command line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

class cConsolePlatform final : public cPlatform {
 public:
  cConsolePlatform(std::FILE* stream, std::string inputPath);

  // Prints text as one line (line breaks inside it become spaces) and remembers it.
  void ShowMessage(const std::string& text, const std::string& caption) override;
  // Stores a fresh handle, then runs body to its end before returning.
  void StartThread(std::function<void()> body, std::atomic<cThreadHandle>& handleSlot) override;
  // The input path, whatever the previous name.
  std::optional<std::string> ChooseStlFile(const std::string& previousName) override;
  void RunOptionsDialog() override {}
  void RequestQuit(int) override {}

  std::vector<std::string> messages;  // every text shown, in order

 private:
  std::FILE* stream;
  std::string inputPath;
  cThreadHandle lastHandle = 0;
};
