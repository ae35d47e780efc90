// The console face: the agent without a desktop. Its loop is a queue of
// tasks on the main thread; boxes are lines on standard error; there is no
// window, tray icon or dialog to show, and stop requests arrive only as
// signals (which the shell turns into posted tasks). Message boxes keep
// the platform's own way: a line on standard error.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "ui/face.h"

namespace agent::ui {
namespace {

class ConsoleFace final : public Face {
 public:
  int Run(FaceEvents&, std::function<void()> start) override {
    start();
    std::unique_lock lock(mutex_);
    for (;;) {
      queue_changed_.wait(lock, [&] { return quit_ || !tasks_.empty(); });
      if (quit_) break;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
    // Tasks posted from now on are dropped.
    ended_ = true;
    tasks_.clear();
    return code_;
  }

  void Post(std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      if (ended_) return;
      tasks_.push_back(std::move(task));
    }
    queue_changed_.notify_one();
  }

  void Quit(int code) override {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
      code_ = code;
    }
    queue_changed_.notify_one();
  }

  // A console has no window and no notification area: the steps that
  // would show them succeed without showing anything, as the agent ran
  // before it had a face.
  void SetWindowIcon(int) override {}
  void HideMainWindow() override {}
  void ShowMainWindow() override {}
  void SetVersionText(const std::u16string&) override {}
  bool AddTrayIcon(std::uint32_t, std::u16string_view) override { return true; }
  bool SetTrayIcon(int) override { return true; }
  void RemoveTrayIcon() override {}
  void PopUpTrayMenu() override {}
  void BringToFront() override {}
  void RunSettingsDialog(SettingsController&) override {}

 private:
  std::mutex mutex_;
  std::condition_variable queue_changed_;
  std::deque<std::function<void()>> tasks_;
  bool quit_ = false;
  bool ended_ = false;
  int code_ = 0;
};

}  // namespace

std::unique_ptr<Face> CreateConsoleFace() { return std::make_unique<ConsoleFace>(); }

}  // namespace agent::ui
