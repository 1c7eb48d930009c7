#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Judges a soak run left in a folder by scripts/soak.sh: the database, every poll round, the
host's resources over time and the operations made through its socket. Reads the database with
Python's own sqlite3 and decodes the records itself, independently of the host's code. Prints one
line per check, writes report.json, and ends with "soak: P passed, F failed"."""

import argparse
import json
import os
import sqlite3
import struct
import sys

DATA_ID = 12
RECORD_LENGTH = 47
CYCLE_START = "request fc3 0/4:"  # the first request of every poll cycle, as the simulator logs it


def signed(word):
    return word - 0x10000 if word >= 0x8000 else word


def decode(record):
    """The 47-byte record: data id, then the blocks read as holding and as input registers, then
    the time of the cycle. None when it does not hold together."""
    if len(record) != RECORD_LENGTH:
        return None
    data_id, = struct.unpack_from("<I", record, 0)
    humidity, temperature, _, pressure = struct.unpack_from("<4H", record, 12)
    year, month, day, hour, minute, second = struct.unpack_from("<H5B", record, 40)
    if not (2000 <= year <= 2100 and 1 <= month <= 12 and 1 <= day <= 31 and hour < 24
            and minute < 60 and second < 60):
        return None
    return {"data_id": data_id, "humidity": humidity / 10, "temperature": signed(temperature) / 10,
            "pressure": pressure / 10}


def host_events(path):
    events = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            try:
                events.append(json.loads(line))
            except ValueError:
                events.append({"event": "unreadable", "text": line})
    return events


def least_squares_slope(points):
    n = len(points)
    if n < 2:
        return 0.0
    mean_x = sum(x for x, _ in points) / n
    mean_y = sum(y for _, y in points) / n
    spread = sum((x - mean_x) ** 2 for x, _ in points)
    if spread == 0:
        return 0.0
    return sum((x - mean_x) * (y - mean_y) for x, y in points) / spread


class Checks:
    def __init__(self):
        self.results = []

    def check(self, name, passed, detail):
        self.results.append({"check": name, "passed": bool(passed), "detail": detail})
        print(f"{'ok  ' if passed else 'FAIL'} {name}: {detail}")


def check_database(checks, database, figures):
    connection = sqlite3.connect(f"file:{database}?mode=ro", uri=True)
    integrity = connection.execute("PRAGMA integrity_check").fetchall()
    checks.check("integrity_check", integrity == [("ok",)], str(integrity[:3]))

    rows = connection.execute(
        "SELECT id, data_id, record, temperature, humidity, pressure FROM history ORDER BY id"
    ).fetchall()
    bad = []
    for row_id, data_id, record, temperature, humidity, pressure in rows:
        values = decode(bytes(record))
        if (values is None or data_id != DATA_ID or values["data_id"] != DATA_ID
                or values["temperature"] != temperature or values["humidity"] != humidity
                or values["pressure"] != pressure):
            bad.append(row_id)
    figures["history_rows"] = len(rows)
    checks.check("history records", rows and not bad,
                 f"{len(rows)} rows, {len(bad)} not 47 bytes or not decoding to their columns"
                 + (f" (first ids {bad[:5]})" if bad else ""))

    last = connection.execute("SELECT record FROM last_record WHERE data_id = ?", (DATA_ID,)).fetchone()
    checks.check("last record", last is not None and rows and bytes(last[0]) == bytes(rows[-1][2]),
                 "the device's last record is the newest history row")

    errors = connection.execute("SELECT errors FROM device_errors WHERE data_id = ?",
                                (DATA_ID,)).fetchone()
    figures["stored_errors"] = errors[0] if errors else 0
    connection.close()


def check_rounds(checks, work, events, figures):
    with open(os.path.join(work, "sim.log"), encoding="utf-8", errors="replace") as log:
        polls_seen = sum(1 for line in log if line.startswith(CYCLE_START))
    summaries = [e for e in events if e.get("event") == "summary" and e.get("data_id") == DATA_ID]
    cycle_events = sum(1 for e in events if e.get("event") == "cycle")
    figures["polls_seen_by_sensor"] = polls_seen
    if not summaries:
        checks.check("every round accounted for", False, "the host printed no summary")
        return
    summary = summaries[-1]
    cycles, failed, errors = summary["cycles"], summary["failed_polls"], summary["errors"]
    figures.update({"cycles": cycles, "failed_polls": failed, "errors": errors,
                    "cycle_events": cycle_events})
    checks.check("every round accounted for",
                 polls_seen == cycles + failed and figures["history_rows"] == cycles == cycle_events,
                 f"sensor saw {polls_seen} poll rounds = {cycles} stored cycles + {failed} failed "
                 f"polls; {figures['history_rows']} history rows, {cycle_events} cycle events")
    checks.check("every error counted", errors >= failed and figures["stored_errors"] == errors > 0,
                 f"{errors} errors reported and {figures['stored_errors']} stored, "
                 f"for {failed} failed polls")


def check_resources(checks, work, seconds, max_growth_kib, figures):
    with open(os.path.join(work, "samples.tsv"), encoding="utf-8") as table:
        samples = [tuple(int(v) for v in line.split("\t")) for line in list(table)[1:] if line.strip()]
    warm_up = min(900, seconds // 3)
    settled = [s for s in samples if s[0] >= warm_up]
    if len(settled) < 2:
        checks.check("memory flat", False, f"only {len(settled)} samples after {warm_up} s of warm-up")
        return
    rss = [s[1] for s in settled]
    growth = rss[-1] - rss[0]
    slope_per_hour = least_squares_slope([(s[0], s[1]) for s in settled]) * 3600
    fds = [s[2] for s in settled]
    threads = [s[3] for s in settled]
    figures.update({"samples": len(samples), "warm_up_seconds": warm_up,
                    "rss_kib_first_last_max": [rss[0], rss[-1], max(rss)],
                    "rss_growth_kib_per_hour": round(slope_per_hour, 1),
                    "fds_min_max": [min(fds), max(fds)], "threads_min_max": [min(threads), max(threads)]})
    checks.check("memory flat", max(rss) - rss[0] <= max_growth_kib,
                 f"after {warm_up} s: {rss[0]} -> {rss[-1]} KiB (max {max(rss)}), "
                 f"{slope_per_hour:+.0f} KiB per hour by least squares, limit {max_growth_kib} KiB")
    # A sample may catch a socket client's connection: one descriptor of slack.
    checks.check("descriptors and threads steady", max(fds) - min(fds) <= 1 and max(threads) == min(threads),
                 f"descriptors {min(fds)}-{max(fds)}, threads {min(threads)}-{max(threads)}")


def check_operations(checks, work, figures):
    allowed = {"write": {0, 1, 6, 7}, "status": {0, 6}, "alarms": {0}}
    tally = {}
    odd = []
    with open(os.path.join(work, "writes.tsv"), encoding="utf-8") as table:
        for line in list(table)[1:]:
            elapsed, command, status = line.split()
            tally.setdefault(command, {}).setdefault(status, 0)
            tally[command][status] += 1
            if int(status) not in allowed[command]:
                odd.append(f"{command} exited {status} at {elapsed} s")
    figures["operations"] = tally
    confirmed = tally.get("write", {}).get("0", 0)
    checks.check("operations through the socket", confirmed > 0 and not odd,
                 f"exit statuses {tally}" + (f"; unexpected: {odd[:5]}" if odd else ""))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--work", required=True)
    parser.add_argument("--host-status", type=int, required=True)
    parser.add_argument("--seconds", type=int, required=True)
    parser.add_argument("--max-growth-kib", type=int, default=4096)
    args = parser.parse_args()

    checks = Checks()
    figures = {"seconds": args.seconds}
    events = host_events(os.path.join(args.work, "host.jsonl"))
    checks.check("host ended cleanly", args.host_status == 0,
                 f"exit status {args.host_status} after SIGTERM")
    check_database(checks, os.path.join(args.work, "soak.db"), figures)
    check_rounds(checks, args.work, events, figures)
    check_resources(checks, args.work, args.seconds, args.max_growth_kib, figures)
    check_operations(checks, args.work, figures)

    passed = sum(1 for r in checks.results if r["passed"])
    failed = len(checks.results) - passed
    with open(os.path.join(args.work, "report.json"), "w", encoding="utf-8") as report:
        json.dump({"figures": figures, "checks": checks.results}, report, indent=2)
    print(json.dumps(figures))
    print(f"soak: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
