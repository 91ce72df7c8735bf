// The fault VFS itself: which calls it counts and fails, and for how long.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "faultVfs.h"
#include "testSupport.h"

namespace {

// Every test of this executable runs over the fault VFS, disarmed unless the
// test arms it: the whole suite shows that, disarmed, it changes nothing.
class FaultVfsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { tvsFaultVfs::Install(); }
  void TearDown() override { tvsFaultVfs::Disarm(); }
};

::testing::Environment* const kFaultVfsEnvironment =
    ::testing::AddGlobalTestEnvironment(new FaultVfsEnvironment);

// A connection of the test's own, straight through the VFS.
struct Connection {
  explicit Connection(const std::string& path) {
    opened = sqlite3_open(path.c_str(), &db);
    sqlite3_extended_result_codes(db, 1);
  }
  ~Connection() { sqlite3_close(db); }
  int Exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
  sqlite3* db = nullptr;
  int opened;
};

struct VfsCase {
  const char* name;
  tvsFaultVfs::Point point;
  int error_code;
  const char* setup;  // run before arming
};

TEST(FaultVfs, FailsTheNthCallOfItsKindOnceThenPasses) {
  const VfsCase cases[] = {
      {"xWrite", tvsFaultVfs::kWrite, SQLITE_IOERR_WRITE, ""},
      {"xWrite full", tvsFaultVfs::kWrite, SQLITE_FULL, ""},
      {"xSync", tvsFaultVfs::kSync, SQLITE_IOERR_FSYNC, ""},
      {"xOpen", tvsFaultVfs::kOpen, SQLITE_CANTOPEN, ""},
      {"xDelete", tvsFaultVfs::kDelete, SQLITE_IOERR_DELETE, ""},
      {"xTruncate", tvsFaultVfs::kTruncate, SQLITE_IOERR_TRUNCATE,
       "PRAGMA journal_mode = truncate;"},
  };
  // A sync left off the disk is counted and failed all the same.
  for (const bool skip_disk_sync : {false, true}) {
    for (const VfsCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (skip_disk_sync ? ", sync skipped" : ""));
      tvsFaultVfs::SkipDiskSync(skip_disk_sync);
      TempDir dir;
      Connection connection(dir.File("f.db"));
      ASSERT_EQ(SQLITE_OK, connection.opened);
      ASSERT_EQ(SQLITE_OK, connection.Exec("CREATE TABLE t(v); INSERT INTO t VALUES (1);"));
      ASSERT_EQ(SQLITE_OK, connection.Exec(c.setup));
      // The first counted call fails; a file elsewhere is not counted, its
      // path lacks the prefix.
      tvsFaultVfs::Arm(c.point, 1, c.error_code, dir.File("f.db"));
      TempDir other;
      {
        Connection elsewhere(other.File("g.db"));
        ASSERT_EQ(SQLITE_OK, elsewhere.Exec("PRAGMA journal_mode = truncate; CREATE TABLE t(v);"));
        ASSERT_EQ(SQLITE_OK,
                  elsewhere.Exec("PRAGMA journal_mode = delete; INSERT INTO t VALUES (1);"));
      }
      EXPECT_EQ(0, tvsFaultVfs::Calls());
      EXPECT_EQ(c.error_code, connection.Exec("INSERT INTO t VALUES (2)"));
      EXPECT_EQ(1, tvsFaultVfs::Injected());
      EXPECT_EQ(1, tvsFaultVfs::Calls(c.point));
      // Once only: the statement goes through when tried again.
      EXPECT_EQ(SQLITE_OK, connection.Exec("INSERT INTO t VALUES (2)"));
      EXPECT_EQ(1, tvsFaultVfs::Injected());
      EXPECT_LT(1, tvsFaultVfs::Calls());
      tvsFaultVfs::Disarm();
      EXPECT_EQ(Rows{{"2"}}, Query(dir.File("f.db"), "SELECT max(v) FROM t"));
      EXPECT_EQ(Rows{{"ok"}}, Query(dir.File("f.db"), "PRAGMA integrity_check"));
    }
  }
  tvsFaultVfs::SkipDiskSync(false);
}

TEST(FaultVfs, PersistentFaultLastsUntilDisarmed) {
  TempDir dir;
  Connection connection(dir.File("f.db"));
  ASSERT_EQ(SQLITE_OK, connection.Exec("CREATE TABLE t(v);"));
  tvsFaultVfs::Arm(tvsFaultVfs::kWrite | tvsFaultVfs::kSync, 1, SQLITE_IOERR_WRITE, dir.path(),
                   true);
  EXPECT_EQ(SQLITE_IOERR_WRITE, connection.Exec("INSERT INTO t VALUES (1)"));
  EXPECT_EQ(SQLITE_IOERR_WRITE, connection.Exec("INSERT INTO t VALUES (2)"));
  EXPECT_LE(2, tvsFaultVfs::Injected());
  EXPECT_EQ(tvsFaultVfs::Calls(), tvsFaultVfs::Injected());
  EXPECT_EQ(tvsFaultVfs::Calls(),
            tvsFaultVfs::Calls(tvsFaultVfs::kWrite) + tvsFaultVfs::Calls(tvsFaultVfs::kSync));
  tvsFaultVfs::Disarm();
  const int injected = tvsFaultVfs::Injected();
  EXPECT_EQ(SQLITE_OK, connection.Exec("INSERT INTO t VALUES (3)"));
  EXPECT_EQ(injected, tvsFaultVfs::Injected());
  EXPECT_EQ(Rows{{"3"}}, Query(dir.File("f.db"), "SELECT group_concat(v) FROM t"));
}

}  // namespace
