#include "tests/support/fake_platform.h"

#include <chrono>

#include "state/state.h"

cFakePlatform::~cFakePlatform() {
  ReleaseAll();
  threads.JoinAll();
}

void cFakePlatform::ShowMessage(const std::string& text, const std::string& caption) {
  const bool onTest = std::this_thread::get_id() == testThread;
  std::function<void(const std::string&)> callback;
  std::chrono::microseconds delay{0};
  {
    std::unique_lock<std::mutex> lock(mutex);
    messages.push_back({text, caption, Busy.load(), workerProbe ? workerProbe() : 0, onTest});
    events.push_back("box " + text);
    if (onShow) onShow(text);
    changed.notify_all();
    if (!onTest && holdWorkerBoxes) {
      heldTexts.push_back(text);
      ++entered;
      changed.notify_all();
      changed.wait(lock, [this] { return releases > 0 || releaseAll; });
      if (releases > 0) --releases;
      heldTexts.erase(heldTexts.begin());
      changed.notify_all();
      return;
    }
    if (onTest) callback = whileTestBoxOpen;
    if (!onTest && workerBoxDelay) delay = workerBoxDelay();
  }
  if (callback) callback(text);
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
}

void cFakePlatform::StartThread(std::function<void()> body,
                                std::atomic<cThreadHandle>& handleSlot) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back("thread");
    ++threadsStarted;
  }
  if (beforeThreadStarts) beforeThreadStarts();
  threads.Start(std::move(body), handleSlot);
  if (joinAtOnce) threads.JoinAll();
}

std::optional<std::string> cFakePlatform::ChooseStlFile(const std::string& previousName) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    fileDialogs.push_back(previousName);
    events.push_back("file dialog");
  }
  if (whileFileDialogOpen) whileFileDialogOpen();
  return nextFile;
}

std::optional<std::string> cFakePlatform::ChooseExportFile(const std::string& previousName) {
  std::lock_guard<std::mutex> lock(mutex);
  fileDialogs.push_back(previousName);
  events.push_back("export dialog");
  return nextExportFile;
}

void cFakePlatform::RunOptionsDialog() {
  std::lock_guard<std::mutex> lock(mutex);
  ++optionsDialogs;
  events.push_back("options");
}

void cFakePlatform::RequestQuit(int exitValue) {
  std::lock_guard<std::mutex> lock(mutex);
  quitRequests.push_back(exitValue);
  events.push_back("quit");
}

bool cFakePlatform::WaitUntilHeld(int count) {
  std::unique_lock<std::mutex> lock(mutex);
  return changed.wait_for(lock, std::chrono::seconds(20), [&] { return entered >= count; });
}

std::string cFakePlatform::WaitForHeldBox() {
  std::unique_lock<std::mutex> lock(mutex);
  const auto pending = [this] { return static_cast<std::size_t>(releases); };
  if (!changed.wait_for(lock, std::chrono::seconds(30),
                        [&] { return heldTexts.size() > pending(); })) {
    return "";
  }
  return heldTexts[pending()];
}

void cFakePlatform::ReleaseOne() {
  std::lock_guard<std::mutex> lock(mutex);
  ++releases;
  changed.notify_all();
}

void cFakePlatform::ReleaseAll() {
  std::lock_guard<std::mutex> lock(mutex);
  releaseAll = true;
  changed.notify_all();
}

std::vector<std::string> cFakePlatform::Texts() {
  std::vector<std::string> texts;
  for (const cMessage& m : Messages()) texts.push_back(m.text);
  return texts;
}
