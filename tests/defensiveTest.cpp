// Every connection the plugin opens, its own and the purge's: defensive on
// and trusted schema off before the first statement, with everything the
// plugin does still working under them; and a file swapped in between the
// ownership check and the open, in a directory others may write, refused.
#include <filesystem>
#include <functional>

#include <sys/stat.h>

#include "channelFixture.h"
#include "openDatabase.h"
#include "purge.h"
#include "tvException.h"

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;

namespace {

// What each connection opened while a Watch lives reported at every
// statement it ran, through sqlite3_db_config with -1 (read, do not set).
struct Connection {
  std::string file;
  int statements = 0;
  int defensive_off = 0;   // statements run with defensive off
  int trusted_schema = 0;  // statements run with trusted schema on
};

std::vector<Connection>* watched = nullptr;
bool paused = false;

int traceStatement(unsigned, void* context, void* statement, void*) {
  Connection& connection = (*watched)[reinterpret_cast<size_t>(context)];
  sqlite3* db = sqlite3_db_handle(static_cast<sqlite3_stmt*>(statement));
  int defensive = -1;
  int trusted = -1;
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, -1, &defensive);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, -1, &trusted);
  ++connection.statements;
  if (defensive != 1) ++connection.defensive_off;
  if (trusted != 0) ++connection.trusted_schema;
  return 0;
}

// An automatic extension: SQLite calls it inside every sqlite3_open_v2 of
// the process, before the opener gets the handle.
int watchConnection(sqlite3* db, char**, const sqlite3_api_routines*) {
  if (watched == nullptr || paused) return SQLITE_OK;
  watched->push_back({});
  const char* file = sqlite3_db_filename(db, "main");
  watched->back().file = file ? file : "";
  sqlite3_trace_v2(db, SQLITE_TRACE_STMT, traceStatement,
                   reinterpret_cast<void*>(watched->size() - 1));
  return SQLITE_OK;
}

class Watch {
 public:
  Watch() {
    watched = &connections;
    sqlite3_auto_extension(reinterpret_cast<void (*)(void)>(watchConnection));
  }
  ~Watch() {
    sqlite3_cancel_auto_extension(reinterpret_cast<void (*)(void)>(watchConnection));
    watched = nullptr;
  }
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  // The test's own connections are not the plugin's.
  template <typename Call>
  void Unwatched(Call call) {
    paused = true;
    call();
    paused = false;
  }
  std::vector<Connection> connections;
};

// A VFS that is the default while it lives: the default before it, but for
// `before` and `after`, called around the open of every main database file.
class SwapVfs {
 public:
  SwapVfs() {
    real = sqlite3_vfs_find(nullptr);
    vfs = *real;
    vfs.zName = "tvs-swap";
    vfs.pNext = nullptr;
    vfs.xOpen = Open;
    current = this;
    sqlite3_vfs_register(&vfs, 1);
  }
  ~SwapVfs() {
    sqlite3_vfs_unregister(&vfs);
    current = nullptr;
  }
  SwapVfs(const SwapVfs&) = delete;
  SwapVfs& operator=(const SwapVfs&) = delete;

  std::function<void()> before, after;

 private:
  static int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out) {
    const bool main = name != nullptr && (flags & SQLITE_OPEN_MAIN_DB) != 0;
    if (main && current->before) current->before();
    const int rc = current->real->xOpen(current->real, name, file, flags, out);
    if (main && current->after) current->after();
    return rc;
  }
  static SwapVfs* current;
  sqlite3_vfs* real = nullptr;
  sqlite3_vfs vfs{};
};
SwapVfs* SwapVfs::current = nullptr;

class DefensiveTest : public ChannelTest {
 protected:
  static std::string Payload(int k, int entries) {
    std::string stats;
    for (int i = 0; i < entries; ++i) {
      stats += std::string(i ? "," : "") + R"({"ip": ")" + std::string(60, 'a' + i % 26) +
               R"(", "bytes": )" + std::to_string(i) + "}";
    }
    return R"({"log_time_start": )" + std::to_string(60 * k) + R"(, "log_time_end": )" +
           std::to_string(60 * k + 60) + R"(, "stats": [)" + stats + "]}";
  }
};

}  // namespace

TEST_F(DefensiveTest, EveryConnectionIsDefensiveAndEverythingThePluginDoesStillWorks) {
  const std::string talkers = R"({"db_name": "flows.db", "data_source": "aggregator", )";
  const std::string grown = R"("tables": [{"name": "talkers", "columns": [{"name": "ip",
      "type": "TEXT"}, {"name": "bytes", "type": "INTEGER"}, {"name": "note", "type": "TEXT"}]}]})";
  Watch watch;
  // A new file with incremental auto-vacuum, and the start-up purge's
  // connection.
  Open(talkers + R"("auto_vacuum": "incremental", "purge_in_days": 7, )" +
       R"("tables": [{"name": "talkers", "columns": [{"name": "ip", "type": "TEXT"},
           {"name": "bytes", "type": "INTEGER"}]}]})")
      .reset();
  watch.Unwatched([&] {
    Exec(
        DbFile(),
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500) "
        "INSERT INTO flows_intervals (id, time_start, time_end, created_at) "
        "SELECT i, i, i, datetime('now', '-9 days') FROM n;"
        "INSERT INTO talkers (interval_id, ip) SELECT id, hex(randomblob(512)) FROM flows_intervals;");
  });
  const auto grown_to = std::filesystem::file_size(DbFile());

  // ALTER TABLE ... ADD COLUMN, a switch to WAL, the start-up purge with its
  // incremental vacuum and the WAL's truncation, a size cap.
  auto channel =
      Open(talkers + R"("schema_update": "add_columns", "journal_mode": "wal", "max_db_mb": 1, )" +
           R"("auto_vacuum": "incremental", "purge_in_days": 7, )" + grown);
  EXPECT_LT(std::filesystem::file_size(DbFile()), grown_to / 4);
  EXPECT_EQ(0u, std::filesystem::file_size(DbFile() + "-wal"));
  // The first payload runs the daily purge on a connection of its own.
  for (int k = 1; k <= 4; ++k) ASSERT_EQ(4000, channel->InsertPayload(Payload(k, 4000))) << k;
  // A replaced file is reopened on a new connection.
  watch.Unwatched([&] {
    std::filesystem::copy_file(DbFile(), dir.File("copy.db"));
    std::filesystem::rename(dir.File("copy.db"), DbFile());
  });
  ASSERT_EQ(1, channel->InsertPayload(Payload(5, 1)));
  channel.reset();
  // And back to the rollback journal.
  channel = Open(talkers + R"("journal_mode": "delete", )" + grown);
  channel.reset();

  const std::vector<std::string> lines = log.Lines();
  EXPECT_THAT(lines, Contains("flows: added column note to table talkers\n"));
  EXPECT_THAT(lines, Contains(StartsWith("flows: size cap: deleted ")));
  EXPECT_THAT(
      lines,
      Contains(
          "sink-sqlite: purged data older than 7 days from table flows_intervals in DB flows.db\n"));
  for (const std::string& line : lines) {
    EXPECT_THAT(line, Not(HasSubstr("Error"))) << line;
    EXPECT_THAT(line, Not(HasSubstr("failed"))) << line;
  }
  EXPECT_THAT(lines, Contains(HasSubstr("was removed or replaced; reopening it")));
  watch.Unwatched([&] {
    EXPECT_EQ((Rows{{"delete"}}), Q("PRAGMA journal_mode"));
    EXPECT_EQ((Rows{{"ok"}}), Q("PRAGMA integrity_check"));
  });

  // The channel's connections (three opens and a reopen) and the purge's
  // (at each of the two start-ups and the reopen, and the daily one).
  ASSERT_EQ(8u, watch.connections.size());
  for (const Connection& connection : watch.connections) {
    SCOPED_TRACE(connection.file);
    EXPECT_EQ(DbFile(), connection.file);
    EXPECT_GT(connection.statements, 0);
    EXPECT_EQ(0, connection.defensive_off);
    EXPECT_EQ(0, connection.trusted_schema);
  }
}

TEST_F(DefensiveTest, AFileSwappedInForTheOpenIsRefusedWhereOthersMayWrite) {
  const std::string shared = dir.File("shared");
  std::filesystem::create_directory(shared);
  chmod(shared.c_str(), 0777);
  const std::string config = WithMembers(kTalkers, R"("db_path": ")" + shared + R"(")");
  const std::string path = shared + "/flows.db";
  const std::string impostor = dir.File("impostor.db");
  const auto channel = [&] {
    auto record = std::make_unique<tvsChannelConfig>();
    record->Load("flows", json::parse(config));
    return record;
  };
  {
    auto made = channel();
    testing::internal::CaptureStdout();
    made->InitDatabase();
    testing::internal::GetCapturedStdout();
  }
  std::filesystem::copy_file(path, impostor);
  const std::string bytes = ReadFile(impostor);
  const std::string replaced = "flows: cannot open DB: " + path +
                               ": refused, the file was replaced while it was opened, in " +
                               shared + " where other users may write";

  struct Case {
    const char* name;
    std::function<void()> before, after;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"swapped in", [&] { std::filesystem::rename(impostor, path); }, nullptr, replaced},
      // Back in its place after the open, the checked file fools a second
      // look at the path, not SQLite's look at its descriptor.
      {"swapped in and back",
       [&] {
         std::filesystem::rename(path, dir.File("aside.db"));
         std::filesystem::rename(impostor, path);
       },
       [&] {
         std::filesystem::rename(path, impostor);
         std::filesystem::rename(dir.File("aside.db"), path);
       },
       replaced},
      {"a link swapped in",
       [&] {
         std::filesystem::rename(path, dir.File("aside.db"));
         std::filesystem::create_symlink(impostor, path);
       },
       nullptr,
       "flows: cannot open DB: " + path +
           ": refused, a symbolic link took the file's place while it was opened, in " + shared +
           " where other users may write"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      SwapVfs swap;
      swap.before = c.before;
      swap.after = c.after;
      auto record = channel();
      EXPECT_THAT([&] { record->InitDatabase(); },
                  ThrowsMessage<tvException>(testing::StrEq(c.error)));
    }
    // Put back as it was; the impostor was never written.
    if (std::filesystem::exists(dir.File("aside.db"))) {
      std::filesystem::remove(path);
      std::filesystem::rename(dir.File("aside.db"), path);
    }
    if (!std::filesystem::exists(impostor)) std::filesystem::rename(path, impostor);
    EXPECT_EQ(bytes, ReadFile(impostor));
    if (!std::filesystem::exists(path)) std::filesystem::copy_file(impostor, path);
  }

  // The purge's own connection is checked as the channel's is.
  {
    SwapVfs swap;
    swap.before = [&] { std::filesystem::rename(impostor, path); };
    PurgeAggregateData("flows", shared, "flows.db", 7);
  }
  EXPECT_THAT(log.Lines(),
              Contains("Failed to open DB 'flows.db': refused, the file was replaced while it was "
                       "opened, in " +
                       shared + " where other users may write\n"));
  EXPECT_EQ(bytes, ReadFile(path));

  // Where nobody else may write, a swap is nobody's plant: opened as ever.
  chmod(shared.c_str(), 0755);
  std::filesystem::copy_file(path, impostor);
  SwapVfs swap;
  swap.before = [&] { std::filesystem::rename(impostor, path); };
  auto record = channel();
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(record->InitDatabase());
  testing::internal::GetCapturedStdout();
}
