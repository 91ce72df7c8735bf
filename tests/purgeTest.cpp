// The retention purge.
#include "channelFixture.h"
#include "purge.h"
#include "tvLog.h"

using ::testing::ElementsAre;

namespace {

class PurgeTest : public ChannelTest {
 protected:
  void SetUp() override { Open(kTalkers).reset(); }

  // Adds an interval created `age` ago (an SQLite modifier such as "-8 days")
  // with `entries` talkers rows.
  void AddInterval(const std::string& age, int entries) {
    Exec(
        DbFile(),
        "INSERT INTO flows_intervals (time_start, time_end, created_at) VALUES (1, 2, datetime('now', '" +
            age + "'))");
    for (int i = 0; i < entries; ++i) {
      Exec(
          DbFile(),
          "INSERT INTO talkers (interval_id, ip) VALUES ((SELECT max(id) FROM flows_intervals), 'x')");
    }
  }

  std::string Now() { return Q("SELECT datetime('now')")[0][0]; }
};

}  // namespace

TEST_F(PurgeTest, DeletesExpiredIntervalsWithTheirEntries) {
  AddInterval("-8 days", 2);
  AddInterval("-6 days", 3);
  PurgeAggregateData("flows", dir.path(), "flows.db", 7);
  EXPECT_EQ((Rows{{"2"}}), Q("SELECT id FROM flows_intervals"));
  EXPECT_EQ((Rows{{"2", "3"}}),
            Q("SELECT interval_id, count(*) FROM talkers GROUP BY interval_id"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "sink-sqlite: purged data older than 7 days from table flows_intervals in DB flows.db\n"));
}

TEST_F(PurgeTest, RowExactlyAtCutoffStays) {
  // The cutoff moves with the clock: retry when a second boundary fell between
  // the insert and the purge.
  for (int attempt = 0; attempt < 5; ++attempt) {
    // This connection has no foreign keys on: the entry rows go by hand.
    Exec(DbFile(), "DELETE FROM talkers; DELETE FROM flows_intervals");
    const std::string before = Now();
    AddInterval("-7 days", 1);
    AddInterval("-7 days', '-1 seconds", 1);
    PurgeAggregateData("flows", dir.path(), "flows.db", 7);
    if (Now() != before) continue;
    EXPECT_EQ((Rows{{"1"}}), Q("SELECT count(*) FROM flows_intervals"));
    EXPECT_EQ((Rows{{"1"}}), Q("SELECT count(*) FROM talkers"));
    return;
  }
  FAIL() << "the clock never held still for a second";
}

TEST_F(PurgeTest, ZeroDaysDeletesEverythingBeforeThisSecond) {
  AddInterval("-1 seconds", 1);
  AddInterval("-1 days", 1);
  PurgeAggregateData("flows", dir.path(), "flows.db", 0);
  EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM talkers"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "sink-sqlite: purged data older than 0 days from table flows_intervals in DB flows.db\n"));
}

TEST_F(PurgeTest, NegativeDaysMatchNothingButStillLogsSuccess) {
  AddInterval("-100 days", 1);
  PurgeAggregateData("flows", dir.path(), "flows.db", -5);
  EXPECT_EQ((Rows{{"1"}}), Q("SELECT count(*) FROM flows_intervals"));
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "sink-sqlite: purged data older than -5 days from table flows_intervals in DB flows.db\n"));
}

TEST_F(PurgeTest, MissingIntervalsTableIsLogged) {
  PurgeAggregateData("other", dir.path(), "flows.db", 7);
  PurgeAggregateData("flows", dir.path(), "new.db", 7);
  EXPECT_THAT(log.Lines(),
              ElementsAre("Error purging table other_intervals: no such table: other_intervals\n",
                          "Error purging table flows_intervals: no such table: flows_intervals\n"));
  EXPECT_EQ(1, tv_file_exists(dir.File("new.db")));
}

TEST_F(PurgeTest, UnopenableFileIsLoggedWithBareName) {
  PurgeAggregateData("flows", dir.File("missing"), "flows.db", 7);
  EXPECT_THAT(log.Lines(),
              ElementsAre("Failed to open DB 'flows.db': unable to open database file\n"));
}

TEST_F(PurgeTest, TablesWithoutCascadeKeepTheirRows) {
  Exec(DbFile(), "CREATE TABLE loose (interval_id INTEGER)");
  AddInterval("-8 days", 1);
  Exec(DbFile(), "INSERT INTO loose VALUES (1)");
  PurgeAggregateData("flows", dir.path(), "flows.db", 7);
  EXPECT_EQ((Rows{{"1"}}), Q("SELECT count(*) FROM loose"));
  EXPECT_EQ((Rows{{"0"}}), Q("SELECT count(*) FROM talkers"));
}

TEST_F(PurgeTest, LockedFileFailsTheDeleteOnly) {
  AddInterval("-8 days", 1);
  sqlite3* holder = nullptr;
  sqlite3_open(DbFile().c_str(), &holder);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
  PurgeAggregateData("flows", dir.path(), "flows.db", 7);
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_THAT(log.Lines(),
              ElementsAre("Error purging table flows_intervals: database is locked\n"));
  EXPECT_EQ((Rows{{"1"}}), Q("SELECT count(*) FROM flows_intervals"));
}
