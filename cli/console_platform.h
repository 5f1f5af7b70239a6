// The batch tool's side of the platform interface: message boxes become lines on a stream,
// worker threads run at once on the calling thread, the open-file dialog answers with the file
// given on the command line, and progress reports draw a bar on a terminal.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/progress.h"
#include "platform/platform.h"

class cConsolePlatform final : public cPlatform {
 public:
  // stream may be null: the texts are then only remembered.
  cConsolePlatform(std::FILE* stream, std::string inputPath);

  // Prints text as one line (line breaks inside it become spaces) and remembers it.
  void ShowMessage(const std::string& text, const std::string& caption) override;
  // Stores a fresh handle, then runs body to its end before returning.
  void StartThread(std::function<void()> body, std::atomic<cThreadHandle>& handleSlot) override;
  // The input path, whatever the previous name.
  std::optional<std::string> ChooseStlFile(const std::string& previousName) override;
  void RunOptionsDialog() override {}
  void RequestQuit(int) override {}
  // Draws a bar on barStream once ShowProgressOn was called; nothing otherwise.
  void Progress(const char* step, double fraction) override;

  // Progress from here on goes to barStream (a terminal), for steps longer than delay seconds.
  void ShowProgressOn(std::FILE* barStream, double delay);
  // Removes a bar from the screen, before other text is written there.
  void ClearProgress();

  std::vector<std::string> messages;  // every text shown, in order

 private:
  std::FILE* stream;
  std::string inputPath;
  cThreadHandle lastHandle = 0;
  std::FILE* barStream = nullptr;
  std::unique_ptr<cProgressBar> bar;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};
