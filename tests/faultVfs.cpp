#include "faultVfs.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <sqlite3.h>

namespace {

// What Arm set; read by every call on the connections' threads.
struct FaultState {
  std::atomic<bool> armed{false};  // lets a disarmed call skip the lock
  std::atomic<bool> skip_disk_sync{false};
  std::mutex lock;  // guards the members below
  unsigned points = 0;
  int nth = 0;
  int error_code = SQLITE_OK;
  bool persistent = false;
  std::string path_prefix;
  int counted = 0;
  int per_point[5] = {};
  int injected = 0;
  std::set<int> ordinals;  // when not empty, exactly these counted calls fail
};

FaultState state;
sqlite3_vfs* wrapped = nullptr;  // the default VFS before this one; set once by Install

int pointIndex(unsigned point) {
  int index = 0;
  while (point > 1) {
    point >>= 1;
    ++index;
  }
  return index;
}

// Counts a call of `point` on `path` and tells whether it fails, and with
// what code. Files without a name (SQLite's temporary files) are never
// counted: no prefix can select them.
bool injectFault(unsigned point, const char* path, int& error_code) {
  if (!state.armed.load(std::memory_order_acquire) || path == nullptr) return false;
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.armed || (state.points & point) == 0) return false;
  if (std::strncmp(path, state.path_prefix.c_str(), state.path_prefix.size()) != 0) return false;
  const int ordinal = ++state.counted;
  ++state.per_point[pointIndex(point)];
  const bool fails =
      state.ordinals.empty()
          ? state.nth != 0 && (ordinal == state.nth || (ordinal > state.nth && state.persistent))
          : state.ordinals.count(ordinal) > 0;
  if (!fails) return false;
  ++state.injected;
  error_code = state.error_code;
  return true;
}

// One open file: this VFS's record first, the wrapped VFS's file after it in
// the same allocation of szOsFile bytes.
struct FaultFile {
  sqlite3_file base;
  const char* path;    // SQLite keeps the name it opened with valid until xClose
  sqlite3_file* real;  // the wrapped VFS's file
};

constexpr size_t kRealOffset = (sizeof(FaultFile) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

sqlite3_file* realFile(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->real; }
const char* filePath(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->path; }

int faultClose(sqlite3_file* file) {
  sqlite3_file* real = realFile(file);
  // The wrapped file had methods, or this one would have none.
  const int result = real->pMethods->xClose(real);
  file->pMethods = nullptr;
  return result;
}

int faultRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xRead(real, buffer, amount, offset);
}

int faultWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  int error_code;
  if (injectFault(tvsFaultVfs::kWrite, filePath(file), error_code)) return error_code;
  sqlite3_file* real = realFile(file);
  return real->pMethods->xWrite(real, buffer, amount, offset);
}

int faultTruncate(sqlite3_file* file, sqlite3_int64 size) {
  int error_code;
  if (injectFault(tvsFaultVfs::kTruncate, filePath(file), error_code)) return error_code;
  sqlite3_file* real = realFile(file);
  return real->pMethods->xTruncate(real, size);
}

int faultSync(sqlite3_file* file, int flags) {
  int error_code;
  if (injectFault(tvsFaultVfs::kSync, filePath(file), error_code)) return error_code;
  if (state.skip_disk_sync.load(std::memory_order_relaxed)) return SQLITE_OK;
  sqlite3_file* real = realFile(file);
  return real->pMethods->xSync(real, flags);
}

int faultFileSize(sqlite3_file* file, sqlite3_int64* size) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xFileSize(real, size);
}

int faultLock(sqlite3_file* file, int level) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xLock(real, level);
}

int faultUnlock(sqlite3_file* file, int level) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xUnlock(real, level);
}

int faultCheckReservedLock(sqlite3_file* file, int* result) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xCheckReservedLock(real, result);
}

int faultFileControl(sqlite3_file* file, int op, void* argument) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xFileControl(real, op, argument);
}

int faultSectorSize(sqlite3_file* file) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xSectorSize(real);
}

int faultDeviceCharacteristics(sqlite3_file* file) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xDeviceCharacteristics(real);
}

int faultShmMap(sqlite3_file* file, int region, int region_size, int extend,
                void volatile** address) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xShmMap(real, region, region_size, extend, address);
}

int faultShmLock(sqlite3_file* file, int offset, int count, int flags) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xShmLock(real, offset, count, flags);
}

void faultShmBarrier(sqlite3_file* file) {
  sqlite3_file* real = realFile(file);
  real->pMethods->xShmBarrier(real);
}

int faultShmUnmap(sqlite3_file* file, int delete_flag) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xShmUnmap(real, delete_flag);
}

int faultFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** page) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xFetch(real, offset, amount, page);
}

int faultUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  sqlite3_file* real = realFile(file);
  return real->pMethods->xUnfetch(real, offset, page);
}

// One table per version of sqlite3_io_methods: a file reports the version of
// the file it wraps, so SQLite never calls a method the wrapped file lacks
// (no shared memory below 2, no memory mapping below 3).
constexpr sqlite3_io_methods methodsOfVersion(int version) {
  return {version,
          faultClose,
          faultRead,
          faultWrite,
          faultTruncate,
          faultSync,
          faultFileSize,
          faultLock,
          faultUnlock,
          faultCheckReservedLock,
          faultFileControl,
          faultSectorSize,
          faultDeviceCharacteristics,
          version >= 2 ? faultShmMap : nullptr,
          version >= 2 ? faultShmLock : nullptr,
          version >= 2 ? faultShmBarrier : nullptr,
          version >= 2 ? faultShmUnmap : nullptr,
          version >= 3 ? faultFetch : nullptr,
          version >= 3 ? faultUnfetch : nullptr};
}

const sqlite3_io_methods kMethods[] = {methodsOfVersion(1), methodsOfVersion(2),
                                       methodsOfVersion(3)};

const sqlite3_io_methods* methodsFor(const sqlite3_io_methods* real) {
  return &kMethods[std::clamp(real->iVersion, 1, 3) - 1];
}

int faultOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
  FaultFile* fault_file = reinterpret_cast<FaultFile*>(file);
  // No methods until the wrapped file has some: SQLite calls xClose on a
  // file whose open failed only when its pMethods is set.
  fault_file->base.pMethods = nullptr;
  fault_file->path = name;
  fault_file->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kRealOffset);
  fault_file->real->pMethods = nullptr;
  int error_code;
  if (injectFault(tvsFaultVfs::kOpen, name, error_code)) return error_code;
  const int result = wrapped->xOpen(wrapped, name, fault_file->real, flags, out_flags);
  if (fault_file->real->pMethods)
    fault_file->base.pMethods = methodsFor(fault_file->real->pMethods);
  return result;
}

int faultDelete(sqlite3_vfs*, const char* name, int sync_directory) {
  int error_code;
  if (injectFault(tvsFaultVfs::kDelete, name, error_code)) return error_code;
  return wrapped->xDelete(wrapped, name, sync_directory);
}

int faultAccess(sqlite3_vfs*, const char* name, int flags, int* result) {
  return wrapped->xAccess(wrapped, name, flags, result);
}

int faultFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return wrapped->xFullPathname(wrapped, name, size, out);
}

void* faultDlOpen(sqlite3_vfs*, const char* name) { return wrapped->xDlOpen(wrapped, name); }

void faultDlError(sqlite3_vfs*, int size, char* message) {
  wrapped->xDlError(wrapped, size, message);
}

void (*faultDlSym(sqlite3_vfs*, void* library, const char* symbol))(void) {
  return wrapped->xDlSym(wrapped, library, symbol);
}

void faultDlClose(sqlite3_vfs*, void* library) { wrapped->xDlClose(wrapped, library); }

int faultRandomness(sqlite3_vfs*, int size, char* out) {
  return wrapped->xRandomness(wrapped, size, out);
}

int faultSleep(sqlite3_vfs*, int microseconds) { return wrapped->xSleep(wrapped, microseconds); }

int faultCurrentTime(sqlite3_vfs*, double* now) { return wrapped->xCurrentTime(wrapped, now); }

int faultGetLastError(sqlite3_vfs*, int size, char* message) {
  return wrapped->xGetLastError(wrapped, size, message);
}

int faultCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* now) {
  return wrapped->xCurrentTimeInt64(wrapped, now);
}

int faultSetSystemCall(sqlite3_vfs*, const char* name, sqlite3_syscall_ptr call) {
  return wrapped->xSetSystemCall(wrapped, name, call);
}

sqlite3_syscall_ptr faultGetSystemCall(sqlite3_vfs*, const char* name) {
  return wrapped->xGetSystemCall(wrapped, name);
}

const char* faultNextSystemCall(sqlite3_vfs*, const char* name) {
  return wrapped->xNextSystemCall(wrapped, name);
}

sqlite3_vfs fault_vfs;

void installOnce() {
  wrapped = sqlite3_vfs_find(nullptr);
  if (wrapped == nullptr) throw std::runtime_error("SQLite has no default VFS to wrap");
  fault_vfs.iVersion = std::min(wrapped->iVersion, 3);
  fault_vfs.szOsFile = static_cast<int>(kRealOffset) + wrapped->szOsFile;
  fault_vfs.mxPathname = wrapped->mxPathname;
  fault_vfs.zName = "tvs-fault";
  fault_vfs.xOpen = faultOpen;
  fault_vfs.xDelete = faultDelete;
  fault_vfs.xAccess = faultAccess;
  fault_vfs.xFullPathname = faultFullPathname;
  fault_vfs.xDlOpen = faultDlOpen;
  fault_vfs.xDlError = faultDlError;
  fault_vfs.xDlSym = faultDlSym;
  fault_vfs.xDlClose = faultDlClose;
  fault_vfs.xRandomness = faultRandomness;
  fault_vfs.xSleep = faultSleep;
  fault_vfs.xCurrentTime = faultCurrentTime;
  fault_vfs.xGetLastError = faultGetLastError;
  // The later members exist only as far as the wrapped VFS's version goes.
  if (fault_vfs.iVersion >= 2) fault_vfs.xCurrentTimeInt64 = faultCurrentTimeInt64;
  if (fault_vfs.iVersion >= 3) {
    fault_vfs.xSetSystemCall = faultSetSystemCall;
    fault_vfs.xGetSystemCall = faultGetSystemCall;
    fault_vfs.xNextSystemCall = faultNextSystemCall;
  }
  if (sqlite3_vfs_register(&fault_vfs, 1) != SQLITE_OK) {
    throw std::runtime_error("cannot register the fault VFS");
  }
}

}  // namespace

void tvsFaultVfs::Install() {
  static std::once_flag installed;
  std::call_once(installed, installOnce);
}

void tvsFaultVfs::Arm(unsigned points, int nth, int error_code, const std::string& path_prefix,
                      bool persistent) {
  Install();
  std::lock_guard<std::mutex> guard(state.lock);
  state.points = points;
  state.nth = nth;
  state.error_code = error_code;
  state.persistent = persistent;
  state.path_prefix = path_prefix;
  state.counted = 0;
  std::fill(std::begin(state.per_point), std::end(state.per_point), 0);
  state.injected = 0;
  state.ordinals.clear();
  state.armed.store(true, std::memory_order_release);
}

void tvsFaultVfs::ArmCalls(unsigned points, std::set<int> ordinals, int error_code,
                           const std::string& path_prefix) {
  Arm(points, 0, error_code, path_prefix);
  std::lock_guard<std::mutex> guard(state.lock);
  state.ordinals = std::move(ordinals);
}

void tvsFaultVfs::Disarm() {
  std::lock_guard<std::mutex> guard(state.lock);
  state.armed.store(false, std::memory_order_release);
}

void tvsFaultVfs::SkipDiskSync(bool skip) { state.skip_disk_sync = skip; }

int tvsFaultVfs::Calls() {
  std::lock_guard<std::mutex> guard(state.lock);
  return state.counted;
}

int tvsFaultVfs::Calls(Point point) {
  std::lock_guard<std::mutex> guard(state.lock);
  return state.per_point[pointIndex(point)];
}

int tvsFaultVfs::Injected() {
  std::lock_guard<std::mutex> guard(state.lock);
  return state.injected;
}
