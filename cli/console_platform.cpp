#include "cli/console_platform.h"

#include <utility>

cConsolePlatform::cConsolePlatform(std::FILE* stream, std::string inputPath)
    : stream(stream), inputPath(std::move(inputPath)) {}

void cConsolePlatform::ShowMessage(const std::string& text, const std::string&) {
  messages.push_back(text);
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
