// Flow records are personal data, end to end through the host: the modes of
// new database files and of the files SQLite keeps beside them, existing
// files left as they are, and files or symbolic links another user planted in
// a directory others may write refused at start-up, at a reload and at a
// reopen, with nothing written to them.
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hostProcess.h"
#include "testSupport.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// The user another user's files are planted as.
constexpr uid_t kOther = 65534;

class PrivateFilesTest : public ::testing::Test {
 protected:
  // A configuration with the channel "flows" in `db_path` (its `members`,
  // such as R"("file_mode": "0600", )", go first) and `more` channels.
  void WriteConfig(const std::string& db_path, const std::string& members = "",
                   const std::string& more = "") {
    dir.Write("sink.json", R"({"db_path": ")" + db_path + R"(", "channels": {"flows": {)" +
                               members + R"("db_name": "flows.db", )" + kChannel + "}" + more +
                               "}}");
  }
  // Another channel's object members after its db_name.
  static constexpr const char* kChannel = R"("data_source": "aggregator", "tables": [{"name":
      "talkers", "columns": [{"name": "ip", "type": "TEXT", "not_null": true}]}])";

  std::vector<std::string> Args() { return {"-c", dir.File("sink.json"), "-C", "flows", "-d"}; }

  static std::string Payload(int k) {
    return R"({"log_time_start": )" + std::to_string(60 * k) + R"(, "log_time_end": )" +
           std::to_string(60 * k + 60) + R"(, "stats": [{"ip": "10.0.0.)" + std::to_string(k) +
           R"("}]})"
           "\n";
  }

  static size_t Occurrences(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      ++found;
    return found;
  }
  static bool LogShows(const HostProcess& host, const std::string& line, size_t count = 1) {
    return Eventually([&] { return Occurrences(host.Stderr(), line) >= count; });
  }

  // The permission bits of `path` (not following a link); -1 when it is missing.
  static int Mode(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
  }

  // The refusal of `what` in the directory `shared`, to the root host.
  static std::string Refused(const std::string& what, const std::string& shared) {
    return "refused, " + what +
           " is owned by nobody (uid 65534), not by root (uid 0) that runs the plugin, in " +
           shared + " where other users may write (mode 1777), so it may have been planted";
  }

  // A directory as /tmp is: everyone may write it, only owners remove files.
  std::string StickyDirectory() {
    const std::string shared = dir.File("shared");
    std::filesystem::create_directory(shared);
    chmod(shared.c_str(), 01777);
    return shared;
  }
  // What another user leaves: an empty file anyone may write at `path`, or
  // a symbolic link at `path` to a file of theirs elsewhere. Returns the
  // file they read back afterwards.
  std::string PlantFile(const std::string& path) {
    dir.Write("plant", "");
    std::filesystem::rename(dir.File("plant"), path);
    EXPECT_EQ(0, chown(path.c_str(), kOther, kOther));
    chmod(path.c_str(), 0666);
    return path;
  }
  std::string PlantLink(const std::string& path) {
    const std::string theirs = dir.File("theirs");
    std::filesystem::create_directories(theirs);
    EXPECT_EQ(0, chown(theirs.c_str(), kOther, kOther));
    const std::string target = theirs + "/" + std::filesystem::path(path).filename().string();
    dir.Write("theirs/" + std::filesystem::path(path).filename().string(), "");
    EXPECT_EQ(0, chown(target.c_str(), kOther, kOther));
    chmod(target.c_str(), 0666);
    // Made aside and moved in: it takes the place of whatever was there at
    // once.
    std::filesystem::create_symlink(target, dir.File("link"));
    EXPECT_EQ(0, lchown(dir.File("link").c_str(), kOther, kOther));
    std::filesystem::rename(dir.File("link"), path);
    return target;
  }
  // Nothing was written to a planted file, and SQLite made nothing beside it.
  static void ExpectUntouched(const std::string& file) {
    SCOPED_TRACE(file);
    EXPECT_EQ(0u, std::filesystem::file_size(file));
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
      EXPECT_FALSE(std::filesystem::exists(file + suffix)) << suffix;
    }
  }

  // Planting as another user takes root.
  static std::string CannotPlant() {
    return geteuid() == 0 ? "" : "planting a file as another user needs root";
  }

  TempDir dir;
};

}  // namespace

TEST_F(PrivateFilesTest, NewFilesGetTheConfiguredModeAndSQLitesFilesFollowIt) {
  // Run as an unprivileged user where the tests are root: its files, its
  // umask. The directory is its own, so the ownership rule stays out.
  const std::string unreachable = UnprivilegedCannotRunHost();
  if (!unreachable.empty()) GTEST_SKIP() << unreachable;
  chmod(dir.path().c_str(), 0755);
  const std::string data = dir.File("data");
  std::filesystem::create_directory(data);
  if (geteuid() == 0) {
    ASSERT_EQ(0, chown(data.c_str(), kOther, kOther));
  }
  const std::string db = data + "/flows.db";
  struct Case {
    const char* members;  // the key, or none
    int umask;
    int mode;  // of every file, whatever the umask
  };
  for (const Case& c : std::vector<Case>{{"", 0, 0640},
                                         {"", 077, 0640},
                                         {R"("file_mode": "0600", )", 0, 0600},
                                         {R"("file_mode": "660", )", 077, 0660},
                                         {R"("file_mode": "0700", )", 022, 0700}}) {
    // The rollback journal, kept by persist; the -wal and -shm files, which
    // live while the connection does.
    for (const std::string journal : {"persist", "wal"}) {
      SCOPED_TRACE(std::string(c.members) + " umask " + std::to_string(c.umask) + " " + journal);
      for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        std::filesystem::remove(db + suffix);
      WriteConfig(data, std::string(c.members) + R"("journal_mode": ")" + journal + R"(", )");
      HostLaunch launch;
      launch.unprivileged = true;
      launch.file_umask = c.umask;
      HostProcess host(Args(), dir.path(), launch);
      host.Write(Payload(1));
      ASSERT_TRUE(LogShows(host, "saved 1 rows")) << host.Stderr();
      EXPECT_EQ(c.mode, Mode(db));
      if (journal == "wal") {
        EXPECT_EQ(c.mode, Mode(db + "-wal"));
        EXPECT_EQ(c.mode, Mode(db + "-shm"));
      } else {
        EXPECT_EQ(c.mode, Mode(db + "-journal"));
      }
      host.CloseInput();
      EXPECT_EQ(0, host.Wait()) << host.Stderr();
      EXPECT_EQ(c.mode, Mode(db));
    }
  }
}

TEST_F(PrivateFilesTest, ExistingFilesKeepWorkingAndKeepTheirMode) {
  const std::string db = dir.File("flows.db");
  WriteConfig(dir.path());
  ASSERT_EQ(0, RunHost(Args(), dir.path(), Payload(1)).code);
  // A file an earlier version made readable to everyone.
  chmod(db.c_str(), 0644);
  WriteConfig(dir.path(), R"("file_mode": "0600", "journal_mode": "persist", )");
  const HostResult result = RunHost(Args(), dir.path(), Payload(2));
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ(0644, Mode(db));
  // The journal SQLite made beside it follows the file, not file_mode.
  EXPECT_EQ(0644, Mode(db + "-journal"));
  EXPECT_EQ((Rows{{"2"}}), Query(db, "SELECT count(*) FROM talkers"));

  // Files another user made, where nobody else could have planted them: a
  // root agent takes over what an earlier unprivileged run left.
  if (geteuid() == 0) {
    ASSERT_EQ(0, chown(db.c_str(), kOther, kOther));
    ASSERT_EQ(0, chown((db + "-journal").c_str(), kOther, kOther));
    const HostResult taken_over = RunHost(Args(), dir.path(), Payload(3));
    EXPECT_EQ(0, taken_over.code) << taken_over.err;
    EXPECT_THAT(taken_over.err, Not(HasSubstr("refused")));
    struct stat info;
    ASSERT_EQ(0, stat(db.c_str(), &info));
    EXPECT_EQ(kOther, info.st_uid);
    EXPECT_EQ(0644, Mode(db));
    EXPECT_EQ((Rows{{"3"}}), Query(db, "SELECT count(*) FROM talkers"));
  }
}

TEST_F(PrivateFilesTest, PlantedFilesAndLinksAreRefusedAtStartUp) {
  const std::string cannot = CannotPlant();
  if (!cannot.empty()) GTEST_SKIP() << cannot;
  const std::string shared = StickyDirectory();
  const std::string db = shared + "/flows.db";
  // Two channels in the directory: one warning names it.
  WriteConfig(shared, "", R"(, "other": {"db_name": "other.db", )" + std::string(kChannel) + "}");
  const std::string warning =
      "sink-sqlite: database directory " + shared + " may be written by other users (mode 1777)";
  struct Case {
    const char* name;
    std::function<std::string()> plant;  // returns the file they read
    std::string refusal;
  };
  for (const Case& c :
       std::vector<Case>{{"file", [&] { return PlantFile(db); }, Refused("the file", shared)},
                         {"link", [&] { return PlantLink(db); },
                          Refused("the symbolic link at the path", shared)},
                         {"journal beside the file",
                          [&] {
                            WriteConfig(shared);
                            EXPECT_EQ(0, RunHost(Args(), dir.path(), Payload(1)).code);
                            PlantFile(db + "-journal");
                            return db + "-journal";
                          },
                          Refused(db + "-journal", shared)},
                         {"-wal beside a new file", [&] { return PlantFile(db + "-wal"); },
                          Refused(db + "-wal", shared)}}) {
    SCOPED_TRACE(c.name);
    const std::string theirs = c.plant();
    const std::string before = ReadFile(db);
    const HostResult result = RunHost(Args(), dir.path(), Payload(2));
    EXPECT_EQ(1, result.code);
    EXPECT_THAT(result.err,
                HasSubstr("error: flows: cannot open DB: " + db + ": " + c.refusal + "\n"));
    // The plugin says it all: no system reason for a file that opens.
    EXPECT_THAT(result.err, Not(HasSubstr("tavrin-sink-host: " + db)));
    EXPECT_EQ(1u, Occurrences(result.err, warning)) << result.err;
    if (theirs != db + "-journal" && theirs != db + "-wal") {
      ExpectUntouched(theirs);
    } else {
      EXPECT_EQ(0u, std::filesystem::file_size(theirs));
      // Not even an empty database is made beside a planted -wal.
      EXPECT_EQ(theirs != db + "-wal", std::filesystem::exists(db));
      if (theirs == db + "-journal") {
        EXPECT_EQ(before, ReadFile(db));
      }
    }
    for (const char* suffix : {"", "-journal", "-wal"}) std::filesystem::remove(db + suffix);
  }
}

TEST_F(PrivateFilesTest, PlantedFilesAndLinksAreRefusedAtAReload) {
  const std::string cannot = CannotPlant();
  if (!cannot.empty()) GTEST_SKIP() << cannot;
  const std::string shared = StickyDirectory();
  const std::string own = dir.File("own");
  std::filesystem::create_directory(own);
  WriteConfig(own);
  HostProcess host(Args(), dir.path());
  host.Write(Payload(1));
  ASSERT_TRUE(LogShows(host, "saved 1 rows"));
  int reloads = 0;
  for (const std::string name : {"planted.db", "linked.db"}) {
    SCOPED_TRACE(name);
    const std::string path = shared + "/" + name;
    const std::string theirs = name == "planted.db" ? PlantFile(path) : PlantLink(path);
    WriteConfig(own, "",
                R"(, "shared": {"db_path": ")" + shared + R"(", "db_name": ")" + name + R"(", )" +
                    kChannel + "}");
    host.Signal(SIGHUP);
    ++reloads;
    const std::string failed =
        "sink-sqlite: reload failed, keeping the running configuration: shared: cannot open DB: " +
        path + ": " +
        Refused(name == "planted.db" ? "the file" : "the symbolic link at the path", shared) + "\n";
    ASSERT_TRUE(LogShows(host, failed)) << host.Stderr();
    // The running channel keeps storing.
    host.Write(Payload(1 + reloads));
    ASSERT_TRUE(LogShows(host, "saved 1 rows", 1 + reloads));
    ExpectUntouched(theirs);
  }
  host.CloseInput();
  EXPECT_EQ(0, host.Wait()) << host.Stderr();
  EXPECT_EQ((Rows{{"3"}}), Query(own + "/flows.db", "SELECT count(*) FROM talkers"));
}

TEST_F(PrivateFilesTest, PlantedFilesAndLinksAreRefusedAtAReopen) {
  const std::string cannot = CannotPlant();
  if (!cannot.empty()) GTEST_SKIP() << cannot;
  const std::string shared = StickyDirectory();
  const std::string db = shared + "/flows.db";
  for (const bool retry : {false, true}) {
    SCOPED_TRACE(retry ? "with retry_mb" : "without retry_mb");
    WriteConfig(shared, retry ? R"("retry_mb": 1, "retry_max_s": 1, )" : "");
    HostProcess host(Args(), dir.path());
    host.Write(Payload(1));
    ASSERT_TRUE(LogShows(host, "saved 1 rows"));
    // The file goes (rotated away); another user takes the name before the
    // next payload comes, first with a file, then with a link.
    std::filesystem::remove(db);
    std::string theirs = PlantFile(db);
    host.Write(Payload(2));
    const std::string reopening = "flows: database file " + db + " was removed or replaced";
    ASSERT_TRUE(LogShows(host, "cannot open DB: " + db + ": " + Refused("the file", shared)))
        << host.Stderr();
    EXPECT_THAT(host.Stderr(), HasSubstr(reopening));
    if (!retry) {
      EXPECT_THAT(host.Stderr(), HasSubstr("flows: payload not stored: cannot open DB: " + db +
                                           ": " + Refused("the file", shared) + "\n"));
      // The next payload tries the open again.
      host.Write(Payload(3));
      ASSERT_TRUE(LogShows(host, "payload not stored: cannot open DB", 2));
    }
    ExpectUntouched(theirs);
    theirs = PlantLink(db);
    if (!retry) host.Write(Payload(4));
    ASSERT_TRUE(LogShows(
        host, "cannot open DB: " + db + ": " + Refused("the symbolic link at the path", shared)))
        << host.Stderr();
    ExpectUntouched(theirs);
    // Once the name is free, the plugin makes its own file again.
    std::filesystem::remove(db);
    host.Write(Payload(5));
    host.CloseInput();
    EXPECT_EQ(retry ? 0 : 3, host.Wait()) << host.Stderr();
    // Held, the payloads that met the planted files are stored in the end.
    EXPECT_EQ(retry ? (Rows{{"2"}, {"5"}}) : (Rows{{"5"}}),
              Query(db, "SELECT time_start / 60 FROM flows_intervals ORDER BY id"));
    EXPECT_EQ(0640, Mode(db));
    std::filesystem::remove(db);
  }
}
