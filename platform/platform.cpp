#include "platform/platform.h"

struct cWorkerThreads::cEntry {
  std::thread thread;
  std::atomic<bool> finished{false};
};

cWorkerThreads::cWorkerThreads() = default;
cWorkerThreads::~cWorkerThreads() {
  JoinAll();
}

void cWorkerThreads::Start(std::function<void()> body, std::atomic<cThreadHandle>& handleSlot) {
  JoinFinished();
  auto entry = std::make_unique<cEntry>();
  cEntry* raw = entry.get();
  handleSlot.store(++lastHandle);
  running.fetch_add(1);
  entries.push_back(std::move(entry));
  raw->thread = std::thread([this, raw, body = std::move(body)]() {
    body();
    running.fetch_sub(1);
    raw->finished.store(true);
  });
}

void cWorkerThreads::JoinFinished() {
  for (auto it = entries.begin(); it != entries.end();) {
    if ((*it)->finished.load()) {
      (*it)->thread.join();
      it = entries.erase(it);
    } else {
      ++it;
    }
  }
}

void cWorkerThreads::JoinAll() {
  for (auto& entry : entries) {
    if (entry->thread.joinable()) entry->thread.join();
  }
  entries.clear();
}

int cWorkerThreads::Running() const {
  return running.load();
}

namespace {

class cDefaultPlatform final : public cPlatform {
 public:
  void ShowMessage(const std::string&, const std::string&) override {}
  void StartThread(std::function<void()> body, std::atomic<cThreadHandle>& handleSlot) override {
    threads.Start(std::move(body), handleSlot);
  }
  std::optional<std::string> ChooseStlFile(const std::string&) override { return std::nullopt; }
  void RunOptionsDialog() override {}
  void RequestQuit(int) override {}

 private:
  cWorkerThreads threads;
};

std::atomic<cPlatform*> installed{nullptr};

}  // namespace

void SetPlatform(cPlatform* platform) {
  installed.store(platform);
}

cPlatform& Platform() {
  static cDefaultPlatform fallback;
  cPlatform* current = installed.load();
  return current != nullptr ? *current : fallback;
}
