#include "openDatabase.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// As the kernel counts them (MAXSYMLINKS).
constexpr int kMaxSymlinks = 40;
// The files SQLite keeps beside a database, named after it.
const char* const kCompanions[] = {"-journal", "-wal", "-shm"};

// Closes a file descriptor with its scope.
struct Descriptor {
  explicit Descriptor(int opened) : fd(opened) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  const int fd;
};

tvsFileIdentity identityOf(const struct stat& info) {
  return tvsFileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

// "nobody (uid 65534)", or "uid 1234" for a uid without a name.
std::string userName(uid_t uid) {
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  const std::string number = "uid " + std::to_string(uid);
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return number;
  return std::string(found->pw_name) + " (" + number + ")";
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The refusal of `what` (a file, a link, a file beside the database) owned by
// `owner` in `directory`. Holds no ": ": the host takes the text before the
// last one for the path.
std::string refusal(const std::string& what, uid_t owner, const std::string& directory,
                    mode_t directory_mode) {
  return "refused, " + what + " is owned by " + userName(owner) + ", not by " +
         userName(geteuid()) + " that runs the plugin, in " + directory +
         " where other users may write (mode " + octal(directory_mode) +
         "), so it may have been planted";
}

// What the checks before the open found.
struct Checked {
  std::string open_path;   // the path handed to SQLite
  std::string final_path;  // the file at the end of any symbolic links
  bool others = false;     // others may write its directory
  std::optional<tvsFileIdentity> file;
  std::string error;  // a refusal; nothing is opened
};

// The path SQLite opens: in a directory others may write SQLite follows no
// symbolic link (SQLITE_OPEN_NOFOLLOW refuses one anywhere in the path), so
// it gets the directory's real path.
std::string pathForSqlite(const std::string& file, const std::string& directory, bool others) {
  if (!others) return file;
  const std::unique_ptr<char, decltype(&std::free)> real(realpath(directory.c_str(), nullptr),
                                                         &std::free);
  if (!real) return file;
  const std::string resolved = real.get();
  const size_t slash = file.rfind('/');
  const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  return (resolved == "/" ? "" : resolved) + "/" + name;
}

// The refusal of a -journal, -wal or -shm file beside `file` that another
// user owns, where others may write: a journal planted there would be played
// into the database, a -wal or -shm read by whoever holds it open. Empty when
// there is none.
std::string plantedBeside(const std::string& file, const std::string& directory,
                          mode_t directory_mode, bool others) {
  if (!others) return "";
  for (const char* suffix : kCompanions) {
    const std::string companion = file + suffix;
    struct stat beside;
    if (lstat(companion.c_str(), &beside) == 0 && beside.st_uid != geteuid())
      return refusal(companion, beside.st_uid, directory, directory_mode);
  }
  return "";
}

// Walks the symbolic links at `path` with the ownership rule, creates a
// missing file with `file_mode` when `create`, and checks the files SQLite
// keeps beside it. Anything it cannot tell (a missing directory, no
// permission) is left to SQLite's open, which reports it as it always did.
Checked check(const std::string& path, int64_t file_mode, bool create) {
  const uid_t self = geteuid();
  Checked result;
  std::string current = path;
  int raced = 0;
  for (int links = 0; links <= kMaxSymlinks;) {
    const std::string directory = parentDirectory(current);
    mode_t directory_mode = 0;
    const bool others = othersMayWrite(directory, &directory_mode);
    result.final_path = current;
    result.others = others;
    result.open_path = pathForSqlite(current, directory, others);
    const std::string named = current == path ? "the file" : "the link's target " + current;
    struct stat info;
    if (lstat(current.c_str(), &info) != 0) {
      if (errno != ENOENT || !create) return result;
      result.error = plantedBeside(current, directory, directory_mode, others);
      if (!result.error.empty()) return result;
      // Created here rather than by SQLite, which would give it 0644 less
      // the umask. O_EXCL: a file planted since the lstat is not taken.
      const Descriptor made(
          open(current.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (made.fd < 0) {
        if (errno == EEXIST && ++raced < 3) continue;
        return result;
      }
      struct stat info_made;
      if (fchmod(made.fd, static_cast<mode_t>(file_mode)) == 0 && fstat(made.fd, &info_made) == 0)
        result.file = identityOf(info_made);
      return result;
    }
    if (S_ISLNK(info.st_mode)) {
      if (others && info.st_uid != self) {
        result.error = refusal(
            current == path ? "the symbolic link at the path" : "the symbolic link " + current,
            info.st_uid, directory, directory_mode);
        return result;
      }
      std::vector<char> target(PATH_MAX + 1);
      const ssize_t length = readlink(current.c_str(), target.data(), PATH_MAX);
      if (length <= 0) return result;
      const std::string link(target.data(), static_cast<size_t>(length));
      current = link[0] == '/' ? link : directory + "/" + link;
      ++links;
      continue;
    }
    if (others && info.st_uid != self) {
      result.error = refusal(named, info.st_uid, directory, directory_mode);
      return result;
    }
    result.file = identityOf(info);
    result.error = plantedBeside(current, directory, directory_mode, others);
    return result;
  }
  // Too many links: SQLite says so.
  result.final_path = path;
  result.open_path = path;
  return result;
}

}  // namespace

std::string parentDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool othersMayWrite(const std::string& directory, mode_t* mode) {
  struct stat info;
  if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  if (mode) *mode = info.st_mode;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool makeDefensive(sqlite3* db, std::string& error) {
  int defensive = -1;
  int trusted = -1;
  if (sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, &defensive) != SQLITE_OK ||
      sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, &trusted) != SQLITE_OK ||
      defensive != 1 || trusted != 0) {
    error =
        "SQLite did not take SQLITE_DBCONFIG_DEFENSIVE on and SQLITE_DBCONFIG_TRUSTED_SCHEMA off";
    return false;
  }
  return true;
}

tvsOpenedDatabase openDatabase(const std::string& path, int64_t file_mode, int flags) {
  tvsOpenedDatabase opened;
  const Checked checked = check(path, file_mode, (flags & SQLITE_OPEN_CREATE) != 0);
  if (!checked.error.empty()) {
    opened.error = checked.error;
    return opened;
  }
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(checked.open_path.c_str(), &raw,
                                 flags | (checked.others ? SQLITE_OPEN_NOFOLLOW : 0), nullptr);
  opened.db.reset(raw);
  if (rc != SQLITE_OK) {
    struct stat now;
    // SQLite refuses a link in the path (SQLITE_CANTOPEN_SYMLINK), and opens
    // nothing through one at the file's name (O_NOFOLLOW, a plain CANTOPEN).
    const bool link = checked.others && raw != nullptr &&
                      (sqlite3_extended_errcode(raw) == SQLITE_CANTOPEN_SYMLINK ||
                       (lstat(checked.final_path.c_str(), &now) == 0 && S_ISLNK(now.st_mode)));
    if (raw == nullptr) {
      opened.error = sqlite3_errstr(rc);
    } else if (link) {
      opened.error = "refused, a symbolic link took the file's place while it was opened, in " +
                     parentDirectory(checked.final_path) + " where other users may write";
    } else {
      opened.error = sqlite3_errmsg(raw);
    }
    return opened;
  }
  // Before any statement: the first one reads the schema.
  if (!makeDefensive(raw, opened.error)) return opened;

  struct stat now;
  const bool present = lstat(checked.final_path.c_str(), &now) == 0;
  if (checked.others) {
    // The file at the path now must be the one checked, and SQLite's
    // descriptor must be on the file at the path (a file swapped in for the
    // open and back after it fails the second). A VFS that cannot tell
    // (SQLITE_NOTFOUND) leaves the comparison of the path alone.
    int moved = 0;
    const int asked = sqlite3_file_control(raw, "main", SQLITE_FCNTL_HAS_MOVED, &moved);
    const bool same = present && (!checked.file || identityOf(now) == *checked.file) &&
                      (asked == SQLITE_NOTFOUND || (asked == SQLITE_OK && moved == 0));
    if (!same) {
      opened.error = "refused, the file was replaced while it was opened, in " +
                     parentDirectory(checked.final_path) + " where other users may write";
      opened.db.reset();
      return opened;
    }
    if (now.st_uid != geteuid()) {
      // Made by someone else between the check and the open.
      mode_t mode = 0;
      othersMayWrite(parentDirectory(checked.final_path), &mode);
      opened.error = refusal("the file", now.st_uid, parentDirectory(checked.final_path), mode);
      opened.db.reset();
      return opened;
    }
  }
  if (checked.file) {
    opened.file = checked.file;
  } else if (present) {
    opened.file = identityOf(now);
  }
  return opened;
}
