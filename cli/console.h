// Where the batch tool shows what the desktop shows in boxes and on its busy screen: the message
// texts become lines on a stream, and progress reports draw a bar on a terminal.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/progress.h"
#include "geometry/progress.h"

class cConsole {
 public:
  // stream may be null: the texts are then only remembered.
  explicit cConsole(std::FILE* stream);
  ~cConsole();  // removes a bar still on the screen
  cConsole(const cConsole&) = delete;
  cConsole& operator=(const cConsole&) = delete;

  // Prints text as one line (line breaks inside it become spaces) and remembers it.
  void Message(const std::string& text);

  // A progress receiver that draws the bar once ShowProgressOn was called, and never asks a
  // computation to stop. Valid while the console lives.
  cProgress Receiver();

  // Progress from here on goes to barStream (a terminal), for steps longer than delay seconds.
  void ShowProgressOn(std::FILE* barStream, double delay);
  // Removes a bar from the screen, before other text is written there.
  void ClearProgress();

  std::vector<std::string> messages;  // every text shown, in order

 private:
  void Progress(const char* step, double fraction);

  std::FILE* stream;
  std::FILE* barStream = nullptr;
  std::unique_ptr<cProgressBar> bar;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};
