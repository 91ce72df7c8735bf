// The optional settings of a channel's connection, and the comparison of its
// configured tables with the tables in the file.
#pragma once

#include "tvsChannelConfig.h"

// Applies the channel's configured SQLite settings to its open connection,
// in the order SQLite needs: auto_vacuum first (it only takes on a file
// without tables, before WAL), then journal_mode, synchronous and
// busy_timeout, and in WAL mode the journal size limit. Throws tvException
// "<name>: cannot set <key>: <reason>".
void applyConnectionSettings(tvsChannelConfig& channel);

// Logs every configured column that the table in the file lacks; with
// "schema_update": "add_columns", adds it with ALTER TABLE ADD COLUMN (type,
// and DEFAULT where configured) and logs that. Throws tvException for a
// column that cannot be added that way. Columns are never dropped or changed.
void reconcileTables(tvsChannelConfig& channel);

struct tvsRollup;
// The same for an existing rollup table: a sum or count column it lacks is
// logged, or added (INTEGER NOT NULL DEFAULT 0, filled from then on). A
// group column it lacks would change its key: tvException, naming the rollup.
void reconcileRollup(tvsChannelConfig& channel, const tvsRollup& rollup);
