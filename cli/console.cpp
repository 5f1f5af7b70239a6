#include "cli/console.h"

cConsole::cConsole(std::FILE* stream) : stream(stream) {}

cConsole::~cConsole() {
  ClearProgress();
}

void cConsole::Message(const std::string& text) {
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

cProgress cConsole::Receiver() {
  return [this](const char* step, double fraction) {
    Progress(step, fraction);
    return true;
  };
}

void cConsole::Progress(const char* step, double fraction) {
  if (bar == nullptr) return;
  const double now =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string text = bar->Update(step, fraction, now);
  if (text.empty()) return;
  std::fputs(text.c_str(), barStream);
  std::fflush(barStream);
}

void cConsole::ShowProgressOn(std::FILE* stream, double delay) {
  barStream = stream;
  bar = std::make_unique<cProgressBar>(delay);
}

void cConsole::ClearProgress() {
  if (bar == nullptr) return;
  const std::string text = bar->Clear();
  if (text.empty()) return;
  std::fputs(text.c_str(), barStream);
  std::fflush(barStream);
}
