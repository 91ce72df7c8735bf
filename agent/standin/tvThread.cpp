#include "tvThread.h"

#include <cstdio>
#include <system_error>

tvThread::~tvThread() { Join(); }

int tvThread::Create() {
  std::lock_guard<std::mutex> guard(thread_lock);
  if (thread.joinable()) return -1;
  running = true;
  try {
    thread = std::thread(&tvThread::Run, this);
  } catch (const std::system_error&) {
    running = false;
    return -1;
  }
  return 0;
}

void tvThread::Run() {
  try {
    Entry();
  } catch (const std::exception& e) {
    {
      std::lock_guard<std::mutex> guard(error_lock);
      error = e.what();
    }
    failed = true;
    std::fprintf(stderr, "error: %s\n", e.what());
  } catch (...) {
    {
      std::lock_guard<std::mutex> guard(error_lock);
      error = "unknown exception";
    }
    failed = true;
    std::fprintf(stderr, "error: unknown exception\n");
  }
  running = false;
}

void tvThread::Terminate() { terminate_requested = true; }

void tvThread::Join() {
  // Another thread may join too (host, then the destructor); the lock makes
  // sure only one of them calls join.
  std::lock_guard<std::mutex> guard(thread_lock);
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

void tvThread::Lock() {
  if (lock_hook) lock_hook();
  thread_lock_user.lock();
}
void tvThread::Unlock() { thread_lock_user.unlock(); }

std::string tvThread::EntryError() const {
  std::lock_guard<std::mutex> guard(error_lock);
  return error;
}
