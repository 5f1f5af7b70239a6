#include "cli/console_platform.h"

#include <utility>

cConsolePlatform::cConsolePlatform(std::FILE* stream, std::string inputPath)
    : stream(stream), inputPath(std::move(inputPath)) {}

void cConsolePlatform::ShowMessage(const std::string& text, const std::string&) {
  messages.push_back(text);
  if (stream == nullptr) return;
  ClearProgress();
  std::string line = text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

void cConsolePlatform::StartThread(std::function<void()> body,
                                   std::atomic<cThreadHandle>& handleSlot) {
  handleSlot.store(++lastHandle);
  body();
}

std::optional<std::string> cConsolePlatform::ChooseStlFile(const std::string&) {
  return inputPath;
}

void cConsolePlatform::Progress(const char* step, double fraction) {
  if (bar == nullptr) return;
  const double now =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string text = bar->Update(step, fraction, now);
  if (text.empty()) return;
  std::fputs(text.c_str(), barStream);
  std::fflush(barStream);
}

void cConsolePlatform::ShowProgressOn(std::FILE* stream, double delay) {
  barStream = stream;
  bar = std::make_unique<cProgressBar>(delay);
}

void cConsolePlatform::ClearProgress() {
  if (bar == nullptr) return;
  const std::string text = bar->Clear();
  if (text.empty()) return;
  std::fputs(text.c_str(), barStream);
  std::fflush(barStream);
}
