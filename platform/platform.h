// The few operations of the desktop that the plain layers need: message boxes, worker threads,
// the open-file dialog, the Options dialog and the quit request. The desktop program installs
// its implementation once at start; tests and the batch tool install their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Non-zero while the thread it names runs its body; 0 means no thread.
using cThreadHandle = std::uintptr_t;

// What Tools > Fit Hulls... asks for: at most maxHulls hulls of at most maxHullVertices vertices.
struct cFitRequest {
  int maxHulls = 32;         // 1 or more
  int maxHullVertices = 64;  // 4 or more
};

class cPlatform {
 public:
  virtual ~cPlatform() = default;

  // A modal box with one OK button and no icon. Blocks the calling thread, whichever it is,
  // until the user closes it.
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;

  // Starts body on a new thread. A fresh non-zero handle is stored in handleSlot before the
  // body can run, so that the body may clear the slot without its clearing being overwritten.
  // The platform keeps the thread object and releases it; it never outlives the platform.
  virtual void StartThread(std::function<void()> body, std::atomic<cThreadHandle>& handleSlot) = 0;

  // The open-file dialog for the mesh files the reader takes (io/mesh_reading.h), starting from
  // the previously chosen name. Returns the chosen path, or nothing when cancelled.
  virtual std::optional<std::string> ChooseStlFile(const std::string& previousName) = 0;

  // Runs the Options dialog to its end.
  virtual void RunOptionsDialog() = 0;

  // Asks the main loop to end with the given exit value; returns at once.
  virtual void RequestQuit(int exitValue) = 0;

  // How far a long step has come: step names it ("reading", "decomposing", "hulls"), fraction
  // runs from 0 to 1. Called now and then by the thread doing the step; reports never change
  // what the step computes. Does nothing unless a platform shows it.
  virtual void Progress(const char* /*step*/, double /*fraction*/) {}

  // The File > Export... dialog, starting from the previously chosen name: a file to save, with
  // a filter per format (OBJ *.obj, MuJoCo *.xml, URDF *.urdf, binary glTF *.glb, and a folder
  // of STL files, any other name); a name without an extension gets the chosen filter's.
  // Returns the path, or nothing when cancelled. Platforms that show no dialog cancel it.
  virtual std::optional<std::string> ChooseExportFile(const std::string& /*previousName*/) {
    return std::nullopt;
  }

  // The Fit Hulls dialog, starting from last. Returns the numbers chosen (within their ranges),
  // or nothing when cancelled. Platforms that show no dialog cancel it.
  virtual std::optional<cFitRequest> AskFitRequest(const cFitRequest& /*last*/) {
    return std::nullopt;
  }
};

// Runs bodies on std::threads and keeps the thread objects until they are joined: finished ones
// at the next start, all of them in JoinAll or the destructor. Shared by the platforms.
class cWorkerThreads {
 public:
  cWorkerThreads();
  ~cWorkerThreads();
  cWorkerThreads(const cWorkerThreads&) = delete;
  cWorkerThreads& operator=(const cWorkerThreads&) = delete;

  void Start(std::function<void()> body, std::atomic<cThreadHandle>& handleSlot);
  void JoinAll();
  int Running() const;  // bodies started and not yet returned

 private:
  struct cEntry;
  void JoinFinished();

  std::vector<std::unique_ptr<cEntry>> entries;  // UI thread only
  std::atomic<int> running{0};
  cThreadHandle lastHandle = 0;
};

// The installed platform; not owned. Installing nullptr restores the default, which shows
// nothing, cancels every dialog, runs threads with cWorkerThreads and ignores quit requests.
void SetPlatform(cPlatform* platform);
cPlatform& Platform();
