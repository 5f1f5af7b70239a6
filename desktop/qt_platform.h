// The desktop's side of the platform interface on Qt: message boxes, the open-file dialog, the
// Options dialog, worker threads and the quit request.
#pragma once

#include <QObject>
#include <QStringList>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

class QDialog;

// Runs ring on its thread when Ring is called through a queued call by name: such a call is
// built and delivered inside Qt, and hands nothing of ours from one thread to the other.
class cDoorbell : public QObject {
  Q_OBJECT
 public:
  explicit cDoorbell(std::function<void()> ring_) : ring(std::move(ring_)) {}
  Q_INVOKABLE void Ring() { ring(); }

 private:
  std::function<void()> ring;
};

// The Open dialog's filters: "stl file (*.stl)", then "mesh files (...)" with every extension the
// reader takes, then one per other extension ("obj file (*.obj)" ...).
QStringList MeshFileFilters();

class cQtPlatform : public cPlatform {
 public:
  // Made on the UI thread once the QApplication exists.
  cQtPlatform();
  ~cQtPlatform() override;
  cQtPlatform(const cQtPlatform&) = delete;
  cQtPlatform& operator=(const cQtPlatform&) = delete;

  // A box with the caption (an empty one titles it with nothing), the text and one OK button,
  // no icon and no owner. On the UI thread it runs here, in an event loop of its own; from a
  // worker it is opened on the UI thread without one and only the worker waits, so the window
  // keeps drawing and taking commands meanwhile, and closing the box frees the worker at once,
  // whatever dialogs were opened after it. The worker's request reaches the UI thread through
  // boxRequests, under its mutex; the call queued to the UI thread carries no data, so that
  // ThreadSanitizer, which does not see Qt's own event queue, sees everything the threads share
  // (tests/qt_platform_test.cpp runs in the ThreadSanitizer build).
  void ShowMessage(const std::string& text, const std::string& caption) override;
  void StartThread(std::function<void()> body, std::atomic<cThreadHandle>& handleSlot) override;
  // Any length of path; the name is handed over in the file system's encoding. The filters are
  // MeshFileFilters(), the second ("mesh files") chosen at first.
  std::optional<std::string> ChooseStlFile(const std::string& previousName) override;
  void RunOptionsDialog() override;
  std::optional<cFitRequest> AskFitRequest(const cFitRequest& last) override;
  std::optional<std::string> ChooseExportFile(const std::string& previousName) override;
  // Posted to the UI thread's event loop like any other event; returns at once.
  void RequestQuit(int exitValue) override;

  // Shutdown: the workers' open boxes are closed, boxes asked for from now on are not shown,
  // and every worker thread is joined.
  // Events keep being processed while a thread is still running.
  void StopWorkers();

  // Run on the UI thread after every dialog or box: their event loops may have left the
  // window system's own OpenGL context current, and the window wants its context back.
  void SetContextRestorer(std::function<void()> restore);

  // When set, answers ChooseStlFile in place of the dialog (for tests driving the window).
  std::function<std::optional<std::string>(const std::string&)> fileChooserOverride;
  // When set, answers ChooseExportFile in place of the dialog.
  std::function<std::optional<std::string>(const std::string&)> exportChooserOverride;

 private:
  // A worker's box on its way to the UI thread; closed is set once the box is closed (or not
  // shown), and the worker waits for it.
  struct cBoxRequest {
    std::string text;
    std::string caption;
    std::promise<void> closed;
  };

  bool OnUiThread() const;
  void ShowMessageHere(const std::string& text, const std::string& caption);
  // UI thread: opens the boxes the workers have asked for so far.
  void OpenRequestedBoxes();
  // UI thread: opens a worker's box; release is called once when it is closed (or not shown).
  void OpenWorkerBox(const std::string& text, const std::string& caption,
                     std::function<void()> release);
  void RestoreContext();

  QObject uiContext;   // lives on the UI thread: the target of calls handed over to it
  cDoorbell doorbell;  // on the UI thread: rung by the workers, runs OpenRequestedBoxes
  std::mutex boxRequestsMutex;
  std::vector<std::shared_ptr<cBoxRequest>> boxRequests;  // under boxRequestsMutex
  cWorkerThreads threads;
  std::atomic<bool> stopping{false};
  std::function<void()> restoreContext;
  std::vector<QDialog*> workerBoxes;  // UI thread: the workers' boxes now open
};

// Shows the dialog without disabling any other window and waits in a local event loop until it
// is finished. Returns its result.
int RunUntilFinished(QDialog& dialog);
