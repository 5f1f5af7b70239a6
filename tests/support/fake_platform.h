// A platform for tests: records what the plain layers ask of the desktop and answers at once.
// Message boxes shown on the test's own thread call whileTestBoxOpen (standing in for what a user
// does while the box is open); boxes shown by other threads are held while holdWorkerBoxes is
// set, until the test releases them. StartThread runs bodies on real threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

class cFakePlatform final : public cPlatform {
 public:
  struct cMessage {
    std::string text;
    std::string caption;
    int busy;              // Busy when the box opened
    cThreadHandle worker;  // what workerProbe said then, 0 without one
    bool onTestThread;
  };

  ~cFakePlatform() override;  // releases held boxes and joins the threads

  void ShowMessage(const std::string& text, const std::string& caption) override;
  void StartThread(std::function<void()> body, std::atomic<cThreadHandle>& handleSlot) override;
  std::optional<std::string> ChooseStlFile(const std::string& previousName) override;
  // Counted with the open dialogs (FileDialogs); answers nextExportFile.
  std::optional<std::string> ChooseExportFile(const std::string& previousName) override;
  void RunOptionsDialog() override;
  void RequestQuit(int exitValue) override;

  // Waits (bounded) until the count-th held box (counting from 1) has been entered; false on
  // timeout.
  bool WaitUntilHeld(int count);
  // The text of the first held box not yet released; empty when none opened within the timeout.
  std::string WaitForHeldBox();
  void ReleaseOne();
  void ReleaseAll();

  // Copies taken under the lock, so that the test can read them while threads run.
  std::vector<cMessage> Messages() { return Locked(messages); }
  std::vector<std::string> Texts();
  std::vector<std::string> Events() { return Locked(events); }  // "box <text>", "thread", ...
  std::vector<std::string> FileDialogs() { return Locked(fileDialogs); }  // the previous names
  std::vector<int> QuitRequests() { return Locked(quitRequests); }
  int ThreadsStarted() { return Locked(threadsStarted); }
  int OptionsDialogs() { return Locked(optionsDialogs); }

  // Set by the test before the calls they affect.
  std::optional<std::string> nextFile;        // ChooseStlFile's answer
  std::optional<std::string> nextExportFile;  // ChooseExportFile's answer
  bool holdWorkerBoxes = false;
  bool joinAtOnce = false;                     // StartThread returns after the body has finished
  std::function<cThreadHandle()> workerProbe;  // called under the lock
  std::function<void(const std::string&)> onShow;            // every box, under the lock
  std::function<void(const std::string&)> whileTestBoxOpen;  // test-thread boxes, unlocked
  std::function<void()> beforeThreadStarts;                  // inside StartThread
  std::function<void()> whileFileDialogOpen;                 // inside ChooseStlFile, unlocked
  // When set, a box on another thread (not held) stays open this long: the user's answer time.
  // Called under the lock.
  std::function<std::chrono::microseconds()> workerBoxDelay;
  cWorkerThreads threads;

 private:
  template <class T>
  T Locked(const T& value) {
    std::lock_guard<std::mutex> lock(mutex);
    return value;
  }

  const std::thread::id testThread = std::this_thread::get_id();
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<cMessage> messages;
  std::vector<std::string> events;
  std::vector<std::string> fileDialogs;
  std::vector<int> quitRequests;
  std::vector<std::string> heldTexts;  // boxes held now, in the order they opened
  int entered = 0;                     // held boxes entered so far
  int releases = 0;
  bool releaseAll = false;
  int threadsStarted = 0;
  int optionsDialogs = 0;
};
