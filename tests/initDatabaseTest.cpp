// Opening a channel's database and creating its tables.
#include <filesystem>

#include "channelFixture.h"
#include "tvException.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

class InitDatabaseTest : public ChannelTest {};

TEST_F(InitDatabaseTest, InitCreatesIntervalsTableIndexesAndTables) {
  auto channel = Load(kTalkers);
  testing::internal::CaptureStdout();
  channel->InitDatabase();
  EXPECT_EQ("Found table: talkers\n", testing::internal::GetCapturedStdout());
  EXPECT_NE(nullptr, channel->db);
  EXPECT_THAT(log.Lines(), IsEmpty());
  EXPECT_EQ(
      (Rows{
          {"table", "flows_intervals",
           "CREATE TABLE flows_intervals (id INTEGER PRIMARY KEY,time_start INTEGER NOT NULL,time_end "
           "INTEGER NOT NULL,created_at DATETIME DEFAULT CURRENT_TIMESTAMP)"},
          {"index", "idx_flows_intervals_created_at",
           "CREATE INDEX idx_flows_intervals_created_at ON flows_intervals(created_at)"},
          {"index", "idx_flows_intervals_range",
           "CREATE INDEX idx_flows_intervals_range ON flows_intervals(time_start, time_end)"},
          {"table", "talkers",
           "CREATE TABLE talkers (\n    id INTEGER PRIMARY KEY,\n    interval_id INTEGER NOT NULL,\n"
           "    ip TEXT,\n    bytes INTEGER,\n"
           "    FOREIGN KEY (interval_id) REFERENCES flows_intervals(id) ON DELETE CASCADE\n)"},
          {"index", "idx_talkers_interval_id",
           "CREATE INDEX idx_talkers_interval_id ON talkers(interval_id)"}}),
      Q("SELECT type, name, sql FROM sqlite_master WHERE sql IS NOT NULL ORDER BY rowid"));
  Rows foreign_keys;
  sqlite3* db = channel->db.get();
  sqlite3_exec(
      db, "PRAGMA foreign_keys",
      [](void* rows, int, char** values, char**) {
        static_cast<Rows*>(rows)->push_back({values[0]});
        return 0;
      },
      &foreign_keys, nullptr);
  EXPECT_EQ((Rows{{"1"}}), foreign_keys);
}

TEST_F(InitDatabaseTest, InitAgainOnExistingFileChangesNothing) {
  Open(kTalkers).reset();
  const Rows before = Q("SELECT type, name, sql FROM sqlite_master");
  EXPECT_NO_THROW(Open(kTalkers));
  EXPECT_EQ(before, Q("SELECT type, name, sql FROM sqlite_master"));
}

TEST_F(InitDatabaseTest, NonAggregatorGetsIntervalsTableButNoPurgeNorEntryIndex) {
  auto channel = Open(R"({"db_name": "flows.db", "data_source": "Aggregator", "purge_in_days": 7,
      "tables": [{"name": "t", "columns": [{"name": "a", "type": "TEXT"}]}]})");
  EXPECT_EQ((Rows{{"flows_intervals"},
                  {"idx_flows_intervals_created_at"},
                  {"idx_flows_intervals_range"},
                  {"t"}}),
            Q("SELECT name FROM sqlite_master ORDER BY rowid"));
  EXPECT_THAT(log.Lines(), IsEmpty());
}

TEST_F(InitDatabaseTest, StartupPurgeOnlyForPositiveRetention) {
  for (int days : {0, -1}) {
    auto channel = Load(kTalkers);
    channel->purge_in_days = days;
    testing::internal::CaptureStdout();
    channel->InitDatabase();
    testing::internal::GetCapturedStdout();
  }
  EXPECT_THAT(log.Lines(), IsEmpty());
  auto channel = Load(kTalkers);
  channel->purge_in_days = 7;
  testing::internal::CaptureStdout();
  channel->InitDatabase();
  testing::internal::GetCapturedStdout();
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "Purging on startup for aggregate channel flows.flows.db\n",
          "sink-sqlite: purged data older than 7 days from table flows_intervals in DB flows.db\n"));
}

TEST_F(InitDatabaseTest, NoTablesFailsAfterOpeningAndCreatesNothing) {
  for (const char* config :
       {R"({"db_name": "flows.db", "data_source": "aggregator"})",
        R"({"db_name": "flows.db", "data_source": "aggregator", "tables": []})"}) {
    SCOPED_TRACE(config);
    auto channel = Load(config);
    EXPECT_THAT([&] { channel->InitDatabase(); },
                ThrowsMessage<tvException>(StrEq("Configuration error - no tables defined")));
    EXPECT_NE(nullptr, channel->db);
    EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM sqlite_master"));
  }
}

TEST_F(InitDatabaseTest, RefusedSecondTableLeavesEarlierStatementsInEffect) {
  auto channel = Load(R"({"db_name": "flows.db", "data_source": "aggregator", "tables": [
      {"name": "a", "columns": [{"name": "x", "type": "TEXT"}]},
      {"name": "b", "columns": [{"name": "y", "type": "TEXT", "autoincrement": true}]}]})");
  testing::internal::CaptureStdout();
  EXPECT_THAT([&] { channel->InitDatabase(); },
              ThrowsMessage<tvException>(
                  StrEq("flows: cannot create tables: near \"AUTOINCREMENT\": syntax error")));
  EXPECT_EQ("Found table: a\nFound table: b\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ((Rows{{"a"},
                  {"flows_intervals"},
                  {"idx_flows_intervals_created_at"},
                  {"idx_flows_intervals_range"}}),
            Q("SELECT name FROM sqlite_master ORDER BY name"));
}

TEST_F(InitDatabaseTest, DuplicateDefaultColumnIsRefusedBySqlite) {
  EXPECT_THAT(
      [&] {
        Open(R"({"db_name": "flows.db", "data_source": "aggregator", "tables": [
                  {"name": "t", "columns": [{"name": "id", "type": "INTEGER"}]}]})");
      },
      ThrowsMessage<tvException>(StrEq("flows: cannot create tables: duplicate column name: id")));
}

TEST_F(InitDatabaseTest, MissingDirectoryCannotOpen) {
  auto channel = Load(kTalkers);
  channel->db_path = dir.File("missing");
  EXPECT_THAT([&] { channel->InitDatabase(); },
              ThrowsMessage<tvException>(StrEq("flows: cannot open DB: " + dir.File("missing") +
                                               "/flows.db: unable to open database file")));
}

TEST_F(InitDatabaseTest, FileThatIsNotADatabaseCannotCreateTables) {
  dir.Write("flows.db", std::string(4096, 'x'));
  auto channel = Load(kTalkers);
  testing::internal::CaptureStdout();
  EXPECT_THAT(
      [&] { channel->InitDatabase(); },
      ThrowsMessage<tvException>(StrEq("flows: cannot create tables: file is not a database")));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::string(4096, 'x'), ReadFile(DbFile()));
}

TEST_F(InitDatabaseTest, TrailingSlashInPathStillOpens) {
  auto channel = Load(kTalkers);
  channel->db_path = dir.path() + "/";
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(channel->InitDatabase());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM talkers"));
}

namespace {

// Descriptors of this process open on `path`.
int openDescriptors(const std::string& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path) ++count;
  }
  return count;
}

}  // namespace

TEST_F(InitDatabaseTest, DestroyingRecordClosesItsDatabase) {
  auto channel = Open(kTalkers);
  EXPECT_EQ(1, openDescriptors(DbFile()));
  channel.reset();
  EXPECT_EQ(0, openDescriptors(DbFile()));
  // A record that never opened a database, and one whose open failed, close nothing.
  tvsChannelConfig never_opened;
  auto failed = Load(kTalkers);
  failed->db_path = dir.File("missing");
  EXPECT_THROW(failed->InitDatabase(), tvException);
  // SQLite hands back a handle in an error state; the record owns it.
  EXPECT_NE(nullptr, failed->db);
  failed.reset();
  EXPECT_EQ(0, openDescriptors(dir.File("missing/flows.db")));
}

TEST_F(InitDatabaseTest, IntervalIdIndexIsAnOptimisationNeverARefusal) {
  // Quoted, bracketed and qualified names: each table gets its index.
  auto odd = Open(R"({"db_name": "flows.db", "data_source": "aggregator", "tables": [
      {"name": "\"my talkers\"", "columns": [{"name": "ip", "type": "TEXT"}]},
      {"name": "[br talkers]", "columns": [{"name": "ip", "type": "TEXT"}]},
      {"name": "main.q_talkers", "columns": [{"name": "ip", "type": "TEXT"}]}]})");
  EXPECT_THAT(log.Lines(), IsEmpty());
  EXPECT_EQ(
      (Rows{{"idx_my talkers_interval_id", "my talkers"},
            {"idx_br talkers_interval_id", "br talkers"},
            {"idx_q_talkers_interval_id", "q_talkers"}}),
      Q("SELECT name, tbl_name FROM sqlite_master WHERE name LIKE '%interval_id' ORDER BY rowid"));
  EXPECT_EQ(
      1, odd->InsertPayload(R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"ip": "a"}]})"));
  EXPECT_EQ((Rows{{"a"}}), Q("SELECT ip FROM \"my talkers\""));
  odd.reset();

  // A legacy first table without interval_id opens; its payloads fail at prepare.
  sqlite3* maker = nullptr;
  sqlite3_open(DbFile("legacy.db").c_str(), &maker);
  sqlite3_exec(maker, "CREATE TABLE talkers (ip TEXT, bytes INTEGER);", nullptr, nullptr, nullptr);
  sqlite3_close(maker);
  log.Clear();
  auto legacy = Open(WithDbName(kTalkers, "legacy.db"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "flows: table talkers has no column id; payloads will fail until it is added\n",
          "flows: table talkers has no column interval_id; payloads will fail until it is added\n"));
  log.Clear();
  EXPECT_EQ(-1, legacy->InsertPayload(
                    R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"ip": "a"}]})"));
  EXPECT_THAT(
      log.Lines(),
      Contains("flows: SQLite prepare failed: table talkers has no column named interval_id\n"));
  legacy.reset();

  // A reader's read transaction: a complete file opens and writes nothing; on
  // a file without the index, one debug line says why there is none.
  Open(kTalkers).reset();
  sqlite3* reader = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(DbFile().c_str(), &reader));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM talkers;", nullptr,
                                    nullptr, nullptr));
  log.Clear();
  EXPECT_NO_THROW(Open(kTalkers));
  EXPECT_THAT(log.Lines(), IsEmpty());
  sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
  Exec(DbFile(), "DROP INDEX idx_talkers_interval_id;");
  sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM talkers;", nullptr, nullptr, nullptr);
  EXPECT_NO_THROW(Open(kTalkers));
  EXPECT_THAT(log.Lines(),
              ElementsAre("flows: no interval_id index on table talkers: database is locked\n"));
  sqlite3_close(reader);
}
