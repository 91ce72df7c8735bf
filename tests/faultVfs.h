// A SQLite VFS for tests that fails chosen file-system calls: it wraps the
// VFS that was the default before it, forwards every call to it and, while
// armed, counts the calls of the chosen kinds on files under a path prefix
// and makes the Nth of them fail with a chosen error code. Disarmed, it
// changes nothing SQLite can see.
#pragma once

#include <set>
#include <string>

class tvsFaultVfs {
 public:
  // The calls that can be counted and failed, as bits of a mask.
  enum Point : unsigned {
    kWrite = 1u << 0,     // xWrite
    kSync = 1u << 1,      // xSync
    kTruncate = 1u << 2,  // xTruncate
    kDelete = 1u << 3,    // the VFS's xDelete
    kOpen = 1u << 4,      // the VFS's xOpen of a named file
    kAll = (1u << 5) - 1,
  };

  // Registers the VFS as the process's default ("tvs-fault", wrapping the
  // default found at the first call). Later calls do nothing. Any thread.
  static void Install();

  // Starts counting afresh: calls of the kinds in `points` on files whose
  // path begins with `path_prefix`. The `nth` counted call (from 1) fails
  // with `error_code` instead of reaching the wrapped VFS; with `persistent`
  // every counted call from the `nth` on fails until Disarm. An `nth` of 0
  // only counts. Installs the VFS when it is not yet installed.
  static void Arm(unsigned points, int nth, int error_code, const std::string& path_prefix,
                  bool persistent = false);
  // As Arm, but exactly the counted calls `ordinals` (from 1) fail.
  static void ArmCalls(unsigned points, std::set<int> ordinals, int error_code,
                       const std::string& path_prefix);
  // Stops counting and failing; the counts stay readable until the next Arm.
  static void Disarm();

  // With `skip`, an xSync that does not fail returns SQLITE_OK without
  // reaching the wrapped file: nothing SQLite sees changes, only the flush to
  // the disk is left out (a test of many short runs is then not bound by the
  // disk's flush time). Off at the start. Any thread.
  static void SkipDiskSync(bool skip);

  // Counted calls since the last Arm: of every kind armed, and of one kind
  // (a single bit, not kAll).
  static int Calls();
  static int Calls(Point point);
  // Calls failed since the last Arm.
  static int Injected();
};
