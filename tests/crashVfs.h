// A SQLite VFS for tests that tells what a power cut could leave on the disk.
//
// While it records, it is the process's default VFS: it forwards every call
// to the real one, so SQLite reads and writes real files as ever (only the
// flushes to the disk are left out), and it writes down each write,
// truncation, sync, creation and deletion of a file under one directory, in
// order, as a trace. Replaying a trace up to any step builds the disk a power
// cut at that step could leave, as a real disk might:
// - every write that a sync of its file covered is there;
// - of the writes since, none, a random subset applied in a random order, or
//   all with the last one torn at a sector boundary;
// - creations and deletions are there only once a sync of the directory made
//   them so: the first sync of a new journal or WAL (the unix VFS syncs the
//   directory then), or an xDelete asked to sync it; of those not synced yet,
//   a crash keeps an earlier part, in order, as a file system's journal does.
// Files are modelled as inodes, so a handle that keeps writing a file renamed
// away writes that file, not what took its name.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class tvsCrashVfs {
 public:
  struct Step {
    enum Kind { kWrite, kTruncate, kSync, kCreate, kDelete, kRename, kDirSync, kNote };
    explicit Step(Kind step_kind, int inode = -1, int64_t at = 0, std::string bytes = {},
                  std::string name = {})
        : kind(step_kind), file(inode), offset(at), data(std::move(bytes)), path(std::move(name)) {}
    Kind kind;
    int file = -1;          // kWrite, kTruncate, kSync, kCreate: the inode
    int64_t offset = 0;     // kWrite: where; kTruncate: the new size
    std::string data;       // kWrite: the bytes; kNote: the text
    std::string path;       // kCreate, kDelete: the name; kRename: the old name
    std::string to;         // kRename: the new name
    bool dir_sync = false;  // kSync: the directory was synced with the file
  };

  // Starts a new trace of the files in `dir` (those there now are taken as
  // durable) and makes this VFS the default. Stop ends it and gives the
  // default back. Record one trace at a time.
  static void Start(const std::string& dir);
  static void Stop();

  // Adds a step that marks a point of the trace, such as a log line.
  static void Note(const std::string& text);
  // Renames a file of the directory as an operator would, durably (mv, then
  // a sync of the directory), and records it.
  static void Rename(const std::string& from, const std::string& to);
  // Shifts the clock SQLite reads (CURRENT_TIMESTAMP, datetime('now')).
  static void ShiftClock(int64_t seconds);

  static std::vector<Step> Trace();
};

// What survives of the writes a sync has not covered yet.
enum class tvsCutMode { kSyncedOnly, kRandomSubset, kTornLast };

// The files (by name within the directory) that a power cut after the first
// `steps` steps of `trace` leaves. With `lose_synced`, a deliberately broken
// disk: syncs of the main database file `database` are ignored, so writes
// they covered can be lost.
std::map<std::string, std::string> tvsDiskAfterCut(const std::vector<tvsCrashVfs::Step>& trace,
                                                   size_t steps, tvsCutMode mode, uint32_t seed,
                                                   bool lose_synced = false,
                                                   const std::string& database = "");
