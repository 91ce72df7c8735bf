// A joinable worker thread with a cooperative stop flag and a lock of its own.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

class tvThread {
 public:
  tvThread() = default;
  tvThread(const tvThread&) = delete;
  tvThread& operator=(const tvThread&) = delete;
  // Joins the thread when it is still joinable: a thread is never left detached.
  virtual ~tvThread();

  // Runs Entry on a new thread. Returns 0, or -1 when the thread already runs
  // or cannot be started. An exception that leaves Entry is caught on that
  // thread and reported as "error: " and its what() on standard error.
  virtual int Create();
  // The thread's body. Its result is ignored.
  virtual void* Entry() = 0;
  // Asks Entry to return; Entry polls terminate_requested.
  virtual void Terminate();

  // Returns once Entry has returned; at once when the thread never started.
  void Join();
  // Lock runs the lock hook, when one is set, before it takes the lock.
  void Lock();
  void Unlock();

  // True from Create until Entry has returned.
  bool IsRunning() const { return running.load(); }
  // True once Entry has ended with an exception; EntryError() is its what().
  bool EndedWithError() const { return failed.load(); }
  std::string EntryError() const;

 protected:
  // Stand-in only: `hook` runs on the thread that calls Lock, each time,
  // before the lock is taken. Set before Create.
  void SetLockHook(std::function<void()> hook) { lock_hook = std::move(hook); }

  std::atomic<bool> terminate_requested{false};

 private:
  void Run();

  std::thread thread;
  std::mutex thread_lock;       // guards `thread` itself
  std::mutex thread_lock_user;  // Lock/Unlock
  std::function<void()> lock_hook;
  std::atomic<bool> running{false};
  std::atomic<bool> failed{false};
  mutable std::mutex error_lock;
  std::string error;
};
