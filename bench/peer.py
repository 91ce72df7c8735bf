#!/usr/bin/env python3
"""The plain way to do the sink's job, for the benchmark to compare against.

Usage: tavrin-sink-peer.py DATABASE TABLE_JSON PAYLOADS

DATABASE already holds the channel's tables (the benchmark creates them with
the plugin, so both write the same schema); TABLE_JSON is the schema of the
entry table; PAYLOADS holds one aggregator payload per line. Each payload is
parsed with json and stored in one transaction: its interval row, then its
entries with executemany. Python's standard library only.
"""
import json
import sqlite3
import sys


def converter(column):
    kind = column.get("type", "")
    split = column.get("split", -1)
    if kind == "INTEGER":
        return lambda value: None if value is None else int(value)
    if kind == "TEXT":
        if split >= 0:
            def piece(value):
                if value is None:
                    return None
                pieces = str(value).split(".")
                return pieces[split] if split < len(pieces) else ""
            return piece
        return lambda value: None if value is None else str(value)
    return lambda value: None


def main():
    database, table_file, payloads = sys.argv[1:4]
    with open(table_file) as f:
        table = json.load(f)
    columns = [c for c in table["columns"] if c["name"] not in ("id", "interval_id")]
    names = [c["name"] for c in columns]
    members = [c.get("mapped", c["name"]) for c in columns]
    convert = [converter(c) for c in columns]
    entry_sql = "INSERT INTO %s (interval_id, %s) VALUES (%s)" % (
        table["name"], ", ".join(names), ", ".join("?" * (len(names) + 1)))

    db = sqlite3.connect(database, isolation_level=None)
    db.execute("PRAGMA foreign_keys = ON")
    with open(payloads) as lines:
        for line in lines:
            payload = json.loads(line)
            db.execute("BEGIN")
            cursor = db.execute(
                "INSERT INTO bench_intervals (time_start, time_end) VALUES (?, ?)",
                (payload["log_time_start"], payload["log_time_end"]))
            interval_id = cursor.lastrowid
            db.executemany(entry_sql, (
                [interval_id] + [f(entry.get(m)) for f, m in zip(convert, members)]
                for entry in payload["stats"]))
            db.execute("COMMIT")
    db.close()


if __name__ == "__main__":
    main()
