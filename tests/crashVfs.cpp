#include "crashVfs.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

#include <sqlite3.h>
#include <sys/stat.h>

using Step = tvsCrashVfs::Step;

namespace {

constexpr int kSectorSize = 512;

// The trace being recorded and the names of the directory as SQLite sees
// them now; guarded by `lock`, as SQLite may call from any connection's
// thread.
struct Recorder {
  std::mutex lock;
  bool recording = false;
  std::string dir;  // with its trailing '/'
  std::vector<Step> trace;
  std::map<std::string, int> names;  // path -> inode
  int next_inode = 0;
};

Recorder recorder;
std::atomic<int64_t> clock_shift_ms{0};
sqlite3_vfs* real_vfs = nullptr;
sqlite3_vfs* previous_default = nullptr;

bool tracked(const char* path) {
  return path && recorder.recording &&
         std::strncmp(path, recorder.dir.c_str(), recorder.dir.size()) == 0;
}

std::string contentsOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A file found on the disk rather than created through the VFS: durable, as
// it is. The caller holds the lock.
int adoptFile(const std::string& path) {
  const int inode = recorder.next_inode++;
  recorder.names[path] = inode;
  recorder.trace.push_back(Step{Step::kCreate, inode, 0, "", path});
  recorder.trace.push_back(Step{Step::kWrite, inode, 0, contentsOf(path)});
  recorder.trace.push_back(Step{Step::kSync, inode});
  recorder.trace.push_back(Step{Step::kDirSync});
  return inode;
}

// One open file: this VFS's record, then the real VFS's file in the same
// allocation.
struct CrashFile {
  sqlite3_file base;
  sqlite3_file* real;
  int inode;            // -1: not traced
  bool sync_directory;  // the first sync of a new journal or WAL syncs the directory too
};

constexpr size_t kRealOffset = (sizeof(CrashFile) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

CrashFile* crashFile(sqlite3_file* file) { return reinterpret_cast<CrashFile*>(file); }

// Calls the real file's method `Member` with the same arguments.
template <auto Member, typename... Args>
auto forward(sqlite3_file* file, Args... args) {
  sqlite3_file* real = crashFile(file)->real;
  return (real->pMethods->*Member)(real, args...);
}

void record(Step step) {
  std::lock_guard<std::mutex> guard(recorder.lock);
  if (recorder.recording) recorder.trace.push_back(std::move(step));
}

int crashClose(sqlite3_file* file) {
  const int result = forward<&sqlite3_io_methods::xClose>(file);
  file->pMethods = nullptr;
  return result;
}

int crashWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  const CrashFile* crash = crashFile(file);
  if (crash->inode >= 0) {
    record(Step{Step::kWrite, crash->inode, offset,
                std::string(static_cast<const char*>(buffer), static_cast<size_t>(amount))});
  }
  return forward<&sqlite3_io_methods::xWrite>(file, buffer, amount, offset);
}

int crashTruncate(sqlite3_file* file, sqlite3_int64 size) {
  const CrashFile* crash = crashFile(file);
  if (crash->inode >= 0) record(Step{Step::kTruncate, crash->inode, size});
  return forward<&sqlite3_io_methods::xTruncate>(file, size);
}

// Recorded, never flushed: the trace says what a flush would have made
// durable, and many short runs are not bound by the disk.
int crashSync(sqlite3_file* file, int) {
  CrashFile* crash = crashFile(file);
  if (crash->inode >= 0) {
    Step step{Step::kSync, crash->inode};
    step.dir_sync = crash->sync_directory;
    record(std::move(step));
  }
  crash->sync_directory = false;
  return SQLITE_OK;
}

constexpr sqlite3_io_methods methodsOfVersion(int version) {
  using M = sqlite3_io_methods;
  return {version,
          crashClose,
          forward<&M::xRead, void*, int, sqlite3_int64>,
          crashWrite,
          crashTruncate,
          crashSync,
          forward<&M::xFileSize, sqlite3_int64*>,
          forward<&M::xLock, int>,
          forward<&M::xUnlock, int>,
          forward<&M::xCheckReservedLock, int*>,
          forward<&M::xFileControl, int, void*>,
          forward<&M::xSectorSize>,
          forward<&M::xDeviceCharacteristics>,
          version >= 2 ? forward<&M::xShmMap, int, int, int, void volatile**> : nullptr,
          version >= 2 ? forward<&M::xShmLock, int, int, int> : nullptr,
          version >= 2 ? forward<&M::xShmBarrier> : nullptr,
          version >= 2 ? forward<&M::xShmUnmap, int> : nullptr,
          version >= 3 ? forward<&M::xFetch, sqlite3_int64, int, void**> : nullptr,
          version >= 3 ? forward<&M::xUnfetch, sqlite3_int64, void*> : nullptr};
}

const sqlite3_io_methods kMethods[] = {methodsOfVersion(1), methodsOfVersion(2),
                                       methodsOfVersion(3)};

int crashOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
  CrashFile* crash = crashFile(file);
  crash->base.pMethods = nullptr;
  crash->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kRealOffset);
  crash->real->pMethods = nullptr;
  crash->inode = -1;
  crash->sync_directory = false;
  std::lock_guard<std::mutex> guard(recorder.lock);
  const bool traced = tracked(name);
  struct stat info;
  const bool existed = traced && ::stat(name, &info) == 0;
  const int result = real_vfs->xOpen(real_vfs, name, crash->real, flags, out_flags);
  if (crash->real->pMethods) {
    crash->base.pMethods = &kMethods[std::clamp(crash->real->pMethods->iVersion, 1, 3) - 1];
  }
  if (result != SQLITE_OK || !traced) return result;
  const std::string path = name;
  const auto known = recorder.names.find(path);
  if (existed) {
    crash->inode = known != recorder.names.end() ? known->second : adoptFile(path);
  } else {
    crash->inode = recorder.next_inode++;
    recorder.names[path] = crash->inode;
    recorder.trace.push_back(Step{Step::kCreate, crash->inode, 0, "", path});
    crash->sync_directory =
        (flags & (SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL | SQLITE_OPEN_SUPER_JOURNAL)) != 0;
  }
  return result;
}

int crashDelete(sqlite3_vfs*, const char* name, int sync_directory) {
  {
    std::lock_guard<std::mutex> guard(recorder.lock);
    if (tracked(name)) {
      recorder.names.erase(name);
      recorder.trace.push_back(Step{Step::kDelete, -1, 0, "", name});
      if (sync_directory) recorder.trace.push_back(Step{Step::kDirSync});
    }
  }
  return real_vfs->xDelete(real_vfs, name, 0);
}

// Calls the real VFS's method `Member` with the same arguments.
template <auto Member, typename... Args>
auto forwardVfs(sqlite3_vfs*, Args... args) {
  return (real_vfs->*Member)(real_vfs, args...);
}

int crashCurrentTime(sqlite3_vfs*, double* now) {
  const int result = real_vfs->xCurrentTime(real_vfs, now);
  *now += static_cast<double>(clock_shift_ms.load()) / 86400000.0;
  return result;
}

int crashCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* now) {
  const int result = real_vfs->xCurrentTimeInt64(real_vfs, now);
  *now += clock_shift_ms.load();
  return result;
}

sqlite3_vfs crash_vfs;

void installOnce() {
  real_vfs = sqlite3_vfs_find("unix");
  if (real_vfs == nullptr || real_vfs->iVersion < 3) throw std::runtime_error("no unix VFS");
  using V = sqlite3_vfs;
  crash_vfs.iVersion = 3;
  crash_vfs.szOsFile = static_cast<int>(kRealOffset) + real_vfs->szOsFile;
  crash_vfs.mxPathname = real_vfs->mxPathname;
  crash_vfs.zName = "tvs-crash";
  crash_vfs.xOpen = crashOpen;
  crash_vfs.xDelete = crashDelete;
  crash_vfs.xAccess = forwardVfs<&V::xAccess, const char*, int, int*>;
  crash_vfs.xFullPathname = forwardVfs<&V::xFullPathname, const char*, int, char*>;
  crash_vfs.xDlOpen = forwardVfs<&V::xDlOpen, const char*>;
  crash_vfs.xDlError = forwardVfs<&V::xDlError, int, char*>;
  crash_vfs.xDlSym = forwardVfs<&V::xDlSym, void*, const char*>;
  crash_vfs.xDlClose = forwardVfs<&V::xDlClose, void*>;
  crash_vfs.xRandomness = forwardVfs<&V::xRandomness, int, char*>;
  crash_vfs.xSleep = forwardVfs<&V::xSleep, int>;
  crash_vfs.xCurrentTime = crashCurrentTime;
  crash_vfs.xGetLastError = forwardVfs<&V::xGetLastError, int, char*>;
  crash_vfs.xCurrentTimeInt64 = crashCurrentTimeInt64;
  crash_vfs.xSetSystemCall = forwardVfs<&V::xSetSystemCall, const char*, sqlite3_syscall_ptr>;
  crash_vfs.xGetSystemCall = forwardVfs<&V::xGetSystemCall, const char*>;
  crash_vfs.xNextSystemCall = forwardVfs<&V::xNextSystemCall, const char*>;
}

// The disk as a replay of the trace builds it.
struct Disk {
  struct Inode {
    std::string durable;
    std::vector<const Step*> pending;  // writes and truncations since its last sync
  };
  std::map<int, Inode> inodes;
  std::map<std::string, int> names;          // what the directory holds now
  std::map<std::string, int> durable_names;  // what it holds after a cut
  std::vector<const Step*> pending_names;    // creations and deletions since its last sync

  static void Apply(std::string& contents, const Step& step, size_t length) {
    if (step.kind == Step::kTruncate) {
      contents.resize(static_cast<size_t>(step.offset));
      return;
    }
    const size_t end = static_cast<size_t>(step.offset) + length;
    if (contents.size() < end) contents.resize(end);
    std::memcpy(&contents[static_cast<size_t>(step.offset)], step.data.data(), length);
  }
  static void ApplyName(std::map<std::string, int>& names, const Step& step) {
    if (step.kind == Step::kCreate) names[step.path] = step.file;
    if (step.kind == Step::kDelete) names.erase(step.path);
  }
  void SyncDirectory() {
    durable_names = names;
    pending_names.clear();
  }
};

}  // namespace

void tvsCrashVfs::Start(const std::string& dir) {
  static std::once_flag installed;
  std::call_once(installed, installOnce);
  {
    std::lock_guard<std::mutex> guard(recorder.lock);
    recorder.dir = dir + "/";
    recorder.trace.clear();
    recorder.names.clear();
    recorder.recording = true;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.is_regular_file()) adoptFile(entry.path().string());
    }
  }
  previous_default = sqlite3_vfs_find(nullptr);
  if (sqlite3_vfs_register(&crash_vfs, 1) != SQLITE_OK) {
    throw std::runtime_error("cannot register the crash VFS");
  }
}

void tvsCrashVfs::Stop() {
  {
    std::lock_guard<std::mutex> guard(recorder.lock);
    recorder.recording = false;
  }
  if (previous_default) sqlite3_vfs_register(previous_default, 1);
  clock_shift_ms = 0;
}

void tvsCrashVfs::Note(const std::string& text) { record(Step{Step::kNote, -1, 0, text}); }

void tvsCrashVfs::Rename(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> guard(recorder.lock);
  if (std::rename(from.c_str(), to.c_str()) != 0) throw std::runtime_error("cannot rename " + from);
  const auto it = recorder.names.find(from);
  if (it == recorder.names.end()) return;
  recorder.names[to] = it->second;
  recorder.names.erase(it);
  Step step{Step::kRename, -1, 0, "", from};
  step.to = to;
  recorder.trace.push_back(std::move(step));
}

void tvsCrashVfs::ShiftClock(int64_t seconds) { clock_shift_ms = seconds * 1000; }

std::vector<Step> tvsCrashVfs::Trace() {
  std::lock_guard<std::mutex> guard(recorder.lock);
  return recorder.trace;
}

std::map<std::string, std::string> tvsDiskAfterCut(const std::vector<Step>& trace, size_t steps,
                                                   tvsCutMode mode, uint32_t seed, bool lose_synced,
                                                   const std::string& database) {
  Disk disk;
  for (size_t i = 0; i < steps && i < trace.size(); ++i) {
    const Step& step = trace[i];
    switch (step.kind) {
      case Step::kWrite:
      case Step::kTruncate:
        disk.inodes[step.file].pending.push_back(&step);
        break;
      case Step::kSync: {
        Disk::Inode& inode = disk.inodes[step.file];
        const auto name = disk.names.find(database);
        const bool ignored = lose_synced && name != disk.names.end() && name->second == step.file;
        if (!ignored) {
          for (const Step* write : inode.pending)
            Disk::Apply(inode.durable, *write, write->data.size());
          inode.pending.clear();
        }
        if (step.dir_sync) disk.SyncDirectory();
        break;
      }
      case Step::kCreate:
      case Step::kDelete:
        Disk::ApplyName(disk.names, step);
        disk.pending_names.push_back(&step);
        break;
      case Step::kRename:
        disk.names[step.to] = disk.names.at(step.path);
        disk.names.erase(step.path);
        disk.SyncDirectory();
        break;
      case Step::kDirSync:
        disk.SyncDirectory();
        break;
      case Step::kNote:
        break;
    }
  }

  std::mt19937 random(seed);
  std::map<std::string, int> names = disk.durable_names;
  const Step* last_write = nullptr;
  for (const auto& [number, inode] : disk.inodes) {
    for (const Step* step : inode.pending) {
      if (step->kind == Step::kWrite && (!last_write || step > last_write)) last_write = step;
    }
  }
  switch (mode) {
    case tvsCutMode::kSyncedOnly:
      break;
    case tvsCutMode::kRandomSubset: {
      const size_t kept = random() % (disk.pending_names.size() + 1);
      for (size_t i = 0; i < kept; ++i) Disk::ApplyName(names, *disk.pending_names[i]);
      for (auto& [number, inode] : disk.inodes) {
        std::vector<const Step*> survivors;
        for (const Step* step : inode.pending) {
          if (random() % 2) survivors.push_back(step);
        }
        std::shuffle(survivors.begin(), survivors.end(), random);
        for (const Step* step : survivors) Disk::Apply(inode.durable, *step, step->data.size());
      }
      break;
    }
    case tvsCutMode::kTornLast:
      names = disk.names;
      for (auto& [number, inode] : disk.inodes) {
        for (const Step* step : inode.pending) {
          size_t length = step->data.size();
          if (step == last_write && length > 0) {
            const size_t sectors = (length + kSectorSize - 1) / kSectorSize;
            length = std::min(length, (random() % sectors) * kSectorSize);
          }
          Disk::Apply(inode.durable, *step, length);
        }
      }
      break;
  }

  std::map<std::string, std::string> files;
  for (const auto& [path, number] : names) {
    const size_t slash = path.rfind('/');
    files[path.substr(slash + 1)] = disk.inodes[number].durable;
  }
  return files;
}
