// How every connection of the plugin is opened: new files private, a file
// or symbolic link another user may have planted refused, and SQLite's
// defensive settings on before the schema is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <sys/types.h>

#include "channelState.h"
#include "tvsChannelConfig.h"

// The mode of a new database file when the configuration names none: the
// owner reads and writes, the group reads.
inline constexpr int64_t kDefaultFileMode = 0640;

// The directory that holds `path`: everything before its last "/" ("." when
// there is none, "/" for a file in the root).
std::string parentDirectory(const std::string& path);

// True when users other than the process's own may write `directory`: its
// group or world write bit is set (the sticky /tmp, a group-writable
// directory). `mode`, when given, receives the directory's mode bits.
bool othersMayWrite(const std::string& directory, mode_t* mode = nullptr);

struct tvsOpenedDatabase {
  // The connection; on failure null or the handle SQLite returned in an
  // error state.
  tvsDbHandle db;
  // The file the connection opened, as checked before and after the open.
  std::optional<tvsFileIdentity> file;
  // Why the open failed, without the path; empty when it succeeded.
  std::string error;
};

// Opens the database file at `path` with sqlite3_open_v2's `flags`:
// - A missing file (with SQLITE_OPEN_CREATE) is created by the plugin with
//   exactly `file_mode`, whatever the umask; SQLite gives the journal, -wal
//   and -shm files the database file's mode. An existing file keeps its mode.
// - In a directory others may write, a database file, a symbolic link at the
//   path, or a -journal, -wal or -shm file beside it that the effective user
//   does not own is refused without being opened; symbolic links are then
//   not followed by SQLite either (SQLITE_OPEN_NOFOLLOW), and the file SQLite
//   opened must be the one checked (device and inode before and after, and
//   SQLite's own descriptor against the path).
// - SQLITE_DBCONFIG_DEFENSIVE is turned on and SQLITE_DBCONFIG_TRUSTED_SCHEMA
//   off before anything reads the schema.
// Elsewhere files owned by another user open as they always did.
tvsOpenedDatabase openDatabase(const std::string& path, int64_t file_mode, int flags);

// Turns SQLITE_DBCONFIG_DEFENSIVE on and SQLITE_DBCONFIG_TRUSTED_SCHEMA off
// on `db` and reads both back; false with the reason in `error` when SQLite
// did not take them.
bool makeDefensive(sqlite3* db, std::string& error);
