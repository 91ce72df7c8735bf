// Opt-in channel settings: SQLite pragmas, schema drift, and what they change.
#include <chrono>
#include <filesystem>
#include <thread>

#include "channel/channelSettings.h"
#include "channelFixture.h"
#include "purge.h"
#include "tvException.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

namespace {

class SettingsTest : public ChannelTest {
 protected:
  // kTalkers with extra channel members.
  static std::string Talkers(const std::string& members) { return WithMembers(kTalkers, members); }
  static std::string Pragma(tvsChannelConfig& channel, const std::string& name) {
    Rows rows;
    sqlite3_exec(
        channel.db.get(), ("PRAGMA " + name).c_str(),
        [](void* out, int, char** values, char**) {
          static_cast<Rows*>(out)->push_back({values[0] ? values[0] : "NULL"});
          return 0;
        },
        &rows, nullptr);
    return rows.empty() ? "" : rows[0][0];
  }
};

}  // namespace

TEST_F(SettingsTest, EachSettingIsInEffectOnTheConnection) {
  auto channel =
      Open(Talkers(R"("journal_mode": "WAL", "synchronous": "Normal", "busy_timeout": 1500,
                                 "auto_vacuum": "incremental")"));
  EXPECT_EQ("wal", Pragma(*channel, "journal_mode"));
  EXPECT_EQ("1", Pragma(*channel, "synchronous"));
  EXPECT_EQ("1500", Pragma(*channel, "busy_timeout"));
  EXPECT_EQ("2", Pragma(*channel, "auto_vacuum"));
  EXPECT_THAT(log.Lines(), IsEmpty());

  struct Case {
    const char* members;
    const char* pragma;
    const char* value;
  };
  for (const Case& c : std::vector<Case>{
           {R"("journal_mode": "truncate")", "journal_mode", "truncate"},
           {R"("journal_mode": "persist")", "journal_mode", "persist"},
           {R"("journal_mode": "DELETE")", "journal_mode", "delete"},
           {R"("synchronous": "off")", "synchronous", "0"},
           {R"("synchronous": "full")", "synchronous", "2"},
           {R"("synchronous": "extra")", "synchronous", "3"},
           // Unset: EXTRA, in every mode; FULL stays FULL once the mode is on.
           {R"("journal_mode": "wal")", "synchronous", "3"},
           {R"("journal_mode": "wal", "synchronous": "full")", "synchronous", "2"},
           {R"("busy_timeout": 0)", "busy_timeout", "0"},
           {R"("busy_timeout": 99999999999)", "busy_timeout", "2147483647"},
           // The -wal file's bound: its default, a tenth of max_db_mb, or as given.
           {R"("journal_mode": "wal")", "journal_size_limit", "16777216"},
           {R"("journal_mode": "wal", "max_db_mb": 50)", "journal_size_limit", "5242880"},
           {R"("journal_mode": "wal", "max_db_mb": 5)", "journal_size_limit", "1048576"},
           {R"("journal_mode": "wal", "wal_limit_mb": 2)", "journal_size_limit", "2097152"},
           {R"("wal_limit_mb": 2)", "journal_size_limit", "-1"}}) {
    SCOPED_TRACE(c.members);
    std::filesystem::remove(DbFile());
    EXPECT_EQ(c.value, Pragma(*Open(Talkers(c.members)), c.pragma));
  }
}

TEST_F(SettingsTest, WithoutTheKeysSQLiteDefaultsStay) {
  auto channel = Open(Talkers(
      R"("journal_mode": 5, "synchronous": ["off"], "busy_timeout": "100", "auto_vacuum": true)"));
  EXPECT_EQ("delete", Pragma(*channel, "journal_mode"));
  // Unset synchronous is EXTRA, so that the journal's deletion at commit is durable.
  EXPECT_EQ("3", Pragma(*channel, "synchronous"));
  EXPECT_EQ("0", Pragma(*channel, "busy_timeout"));
  EXPECT_EQ("0", Pragma(*channel, "auto_vacuum"));
  auto fractional = Load(Talkers(R"("busy_timeout": 1.5)"));
  EXPECT_EQ(-1, fractional->settings.busy_timeout);
  // A signed JSON integer, as a program builds it rather than the parser.
  tvsChannelConfig built;
  built.Load("flows", json{{"busy_timeout", 250}});
  EXPECT_EQ(250, built.settings.busy_timeout);
}

TEST_F(SettingsTest, InvalidValuesAreConfigurationErrors) {
  struct Case {
    const char* members;
    const char* message;
  };
  for (const Case& c : std::vector<Case>{
           {R"("journal_mode": "memory")", "flows: invalid journal_mode: memory"},
           {R"("journal_mode": "OFF")", "flows: invalid journal_mode: OFF"},
           {R"("synchronous": "fast")", "flows: invalid synchronous: fast"},
           {R"("auto_vacuum": "yes")", "flows: invalid auto_vacuum: yes"},
           {R"("busy_timeout": -5)", "flows: invalid busy_timeout: -5"},
           {R"("schema_update": "drop_columns")", "flows: invalid schema_update: drop_columns"},
           {R"("commit_batch": 0)", "flows: invalid commit_batch: 0"},
           {R"("commit_batch": 1025)", "flows: invalid commit_batch: 1025"},
           {R"("max_db_mb": 0)", "flows: invalid max_db_mb: 0"},
           {R"("max_db_mb": 18446744073709551615)",
            "flows: invalid max_db_mb: 18446744073709551615"},
           {R"("wal_limit_mb": -1)", "flows: invalid wal_limit_mb: -1"},
           {R"("file_mode": "0644")", "flows: invalid file_mode: 0644 (it grants others access)"},
           {R"("file_mode": "0601")", "flows: invalid file_mode: 0601 (it grants others access)"},
           {R"("file_mode": "0440")",
            "flows: invalid file_mode: 0440 (the owner must read and write)"},
           {R"("file_mode": "0890")",
            R"(flows: invalid file_mode: 0890 (an octal string such as "0640"))"},
           {R"("file_mode": "rw-r-----")",
            R"(flows: invalid file_mode: rw-r----- (an octal string such as "0640"))"},
           {R"("file_mode": "2640")",
            R"(flows: invalid file_mode: 2640 (an octal string such as "0640"))"},
           {R"("file_mode": "00640")",
            R"(flows: invalid file_mode: 00640 (an octal string such as "0640"))"},
           {R"("file_mode": "")", R"(flows: invalid file_mode:  (an octal string such as "0640"))"},
           // JSON has no octal numbers: a number is refused, not ignored.
           {R"("file_mode": 640)",
            R"(flows: invalid file_mode: 640 (an octal string such as "0640"))"},
           {R"("file_mode": null)",
            R"(flows: invalid file_mode: null (an octal string such as "0640"))"}}) {
    SCOPED_TRACE(c.members);
    EXPECT_THAT([&] { Load(Talkers(c.members)); }, ThrowsMessage<tvException>(StrEq(c.message)));
  }
}

TEST_F(SettingsTest, FileModeIsReadAsOctalAndSeedsEveryChannel) {
  EXPECT_EQ(0640, Load(kTalkers)->settings.file_mode);
  EXPECT_EQ(0600, Load(Talkers(R"("file_mode": "0600")"))->settings.file_mode);
  EXPECT_EQ(0660, Load(Talkers(R"("file_mode": "660")"))->settings.file_mode);
  EXPECT_EQ(0700, Load(Talkers(R"("file_mode": "0700")"))->settings.file_mode);
  tvsChannelConfig defaults;
  defaults.Load("defaults", json{{"file_mode", "0600"}});
  tvsChannelConfig seeded;
  seedChannelSettings(seeded, defaults);
  seeded.Load("flows", json::parse(kTalkers));
  EXPECT_EQ(0600, seeded.settings.file_mode);
}

TEST_F(SettingsTest, AutoVacuumOnAnExistingFileOnlyTellsWhatItNeeds) {
  Open(kTalkers).reset();
  auto channel = Open(Talkers(R"("auto_vacuum": "incremental")"));
  EXPECT_EQ("0", Pragma(*channel, "auto_vacuum"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "flows: auto_vacuum incremental takes effect on the existing file only after a VACUUM (now none)\n"));
}

TEST_F(SettingsTest, IncrementalAutoVacuumLetsThePurgeShrinkTheFile) {
  for (const bool incremental : {false, true}) {
    SCOPED_TRACE(incremental);
    std::filesystem::remove(DbFile());
    Open(incremental ? Talkers(R"("auto_vacuum": "incremental")") : std::string(kTalkers)).reset();
    Exec(
        DbFile(),
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
        "INSERT INTO flows_intervals (id, time_start, time_end, created_at) "
        "SELECT i, i, i, datetime('now', '-9 days') FROM n;"
        "INSERT INTO talkers (interval_id, ip) SELECT id, hex(randomblob(64)) FROM flows_intervals;");
    const auto before = std::filesystem::file_size(DbFile());
    PurgeAggregateData("flows", dir.path(), "flows.db", 7);
    EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM talkers"));
    const auto after = std::filesystem::file_size(DbFile());
    if (incremental) {
      EXPECT_LT(after, before / 4);
    } else {
      EXPECT_EQ(before, after);
    }
  }
}

TEST_F(SettingsTest, WalWithBusyTimeoutKeepsStoringUnderAReader) {
  auto channel = Open(Talkers(R"("journal_mode": "wal", "busy_timeout": 2000)"));
  sqlite3* reader = nullptr;
  sqlite3_open(DbFile().c_str(), &reader);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM talkers;", nullptr,
                                    nullptr, nullptr));
  log.Clear();
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(1, channel->InsertPayload(
                     R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"ip": "a"}]})"));
  }
  sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(reader);
  const std::vector<std::string> lines = log.Lines();
  EXPECT_EQ(3, std::count(lines.begin(), lines.end(),
                          "sink-sqlite: saved 1 rows from payload on channel flows\n"));
  EXPECT_EQ((Rows{{"3"}}), Q("SELECT count(*) FROM talkers"));
}

TEST_F(SettingsTest, BusyTimeoutLetsThePurgeWaitForALock) {
  auto channel = Open(kTalkers);
  sqlite3* holder = nullptr;
  sqlite3_open(DbFile().c_str(), &holder);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
  std::thread release([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sqlite3_exec(holder, "ROLLBACK;", nullptr, nullptr, nullptr);
  });
  PurgeAggregateData("flows", dir.path(), "flows.db", 7, 5000);
  release.join();
  sqlite3_close(holder);
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "sink-sqlite: purged data older than 7 days from table flows_intervals in DB flows.db\n"));
}

TEST_F(SettingsTest, SchemaDriftIsReportedAndColumnsAddedOnRequest) {
  Open(kTalkers).reset();
  const std::string grown = R"({"db_name": "flows.db", "data_source": "aggregator", )";
  const std::string tables =
      R"("tables": [{"name": "talkers", "columns": [{"name": "ip", "type": "TEXT"},
      {"name": "bytes", "type": "INTEGER"}, {"name": "port", "type": "INTEGER", "default": 443}, {"name": "app", "type": "TEXT"}]}]})";
  log.Clear();
  auto channel = Open(grown + tables);
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "flows: table talkers has no column port; payloads will fail until it is added\n",
          "flows: table talkers has no column app; payloads will fail until it is added\n"));
  channel.reset();

  log.Clear();
  channel = Open(grown + R"("schema_update": "add_columns", )" + tables);
  EXPECT_THAT(log.Lines(), ElementsAre("flows: added column port to table talkers\n",
                                       "flows: added column app to table talkers\n"));
  EXPECT_EQ((Rows{{"id"}, {"interval_id"}, {"ip"}, {"bytes"}, {"port"}, {"app"}}),
            Q("SELECT name FROM pragma_table_info('talkers')"));
  EXPECT_EQ(1,
            channel->InsertPayload(
                R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"ip": "a", "app": "x"}]})"));
  EXPECT_EQ((Rows{{"a", "NULL", "x"}}), Q("SELECT ip, quote(port), app FROM talkers"));
  EXPECT_EQ((Rows{{"443"}}),
            Q("SELECT dflt_value FROM pragma_table_info('talkers') WHERE name = 'port'"));
  // Nothing more to add the next time.
  log.Clear();
  Open(grown + R"("schema_update": "add_columns", )" + tables);
  EXPECT_THAT(log.Lines(), IsEmpty());
}

TEST_F(SettingsTest, ColumnsSQLiteCannotAddAreConfigurationErrors) {
  Open(kTalkers).reset();
  EXPECT_THAT(
      [&] {
        Open(R"({"db_name": "flows.db", "data_source": "aggregator", "schema_update": "add_columns",
                    "tables": [{"name": "talkers", "columns": [{"name": "ip", "type": "TEXT"}, {"name": "seq", "type": "INTEGER",
                    "primary_key": true}]}]})");
      },
      ThrowsMessage<tvException>(StrEq(
          "flows: cannot add column seq to table talkers: a primary key column cannot be added")));
  EXPECT_THAT(
      [&] {
        Open(R"({"db_name": "flows.db", "data_source": "aggregator", "schema_update": "add_columns",
                    "tables": [{"name": "talkers", "columns": [{"name": "ip", "type": "TEXT"}, {"name": "code", "type": "TEXT UNIQUE"}]}]})");
      },
      ThrowsMessage<tvException>(
          StrEq("flows: cannot add column code to table talkers: Cannot add a UNIQUE column")));
}

TEST_F(SettingsTest, SchemaDriftSeesNamesAsSQLiteResolvesThem) {
  const std::string quoted =
      R"({"db_name": "flows.db", "data_source": "aggregator", "schema_update": "add_columns",
      "tables": [{"name": "talkers", "columns": [{"name": "\"my col\"", "type": "TEXT"}, {"name": "IP", "type": "TEXT"}]}]})";
  // A brand-new file: nothing is missing.
  auto channel = Open(quoted);
  EXPECT_THAT(log.Lines(), IsEmpty());
  channel.reset();
  // Another case than the file's: the same column to SQLite.
  Exec(DbFile(), "ALTER TABLE talkers RENAME COLUMN IP TO ip;");
  channel = Open(quoted);
  EXPECT_THAT(log.Lines(), IsEmpty());
  EXPECT_EQ(
      1,
      channel->InsertPayload(
          R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"\"my col\"": "x", "IP": "a"}]})"));
  EXPECT_EQ((Rows{{"id"}, {"interval_id"}, {"my col"}, {"ip"}}),
            Q("SELECT name FROM pragma_table_info('talkers')"));
}

TEST_F(SettingsTest, APurgeEmptiesTheWalOfAWalChannel) {
  auto channel = Open(Talkers(R"("journal_mode": "wal", "purge_in_days": 30)"));
  const std::string payload =
      R"({"log_time_start": 1, "log_time_end": 2, "stats": [{"ip": "10.0.0.1", "bytes": 5}]})";
  // The first payload is followed by the daily purge, the second is not.
  ASSERT_EQ(1, channel->InsertPayload(payload));
  EXPECT_EQ(0u, std::filesystem::file_size(DbFile() + "-wal"));
  ASSERT_EQ(1, channel->InsertPayload(payload));
  EXPECT_GT(std::filesystem::file_size(DbFile() + "-wal"), 0u);
}
