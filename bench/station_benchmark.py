#!/usr/bin/env python3
"""orvan station against operators played by this script, on the virtual adapter.

Three figures:
  placement  time from a board placed (its presence file made) to its first erase
             (the station's "phase" event), one slot;
  rate       boards per hour with operators who place and take off boards after a
             random 0-200 ms, on 8 slots against 8 times one slot's rate, with the
             modeled bus times (VADAPTER_REALTIME=1);
  memory     the station's resident memory after its first boards and after
             BOARDS boards (fast model), on 4 slots.

Usage: bench/station_benchmark.py BUILD_DIR [--placements N] [--rate-boards N] [--memory-boards N]
                                             [--only placement|rate|memory]
"""
import argparse
import datetime
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

IMAGE_BYTES = 0x3F00
SETTLE_S = 0.002


def recipe(folder, locations):
    with open(os.path.join(folder, "app.bin"), "wb") as image:
        image.write(bytes((i * 7 + 3) & 0xFF for i in range(IMAGE_BYTES)))
    digest = subprocess.run(["sha256sum", "app.bin"], cwd=folder, capture_output=True, text=True).stdout[:64]
    slots = "".join(f'[[slot]]\nlocation = 0x{loc}\nname = "S{loc[2:]}"\n' for loc in locations)
    with open(os.path.join(folder, "line.toml"), "w") as text:
        text.write(f'name = "bench"\n[[image]]\nfile = "app.bin"\nsector = 0\nsha256 = "{digest}"\n'
                   f'[serial]\naddress = 0x3f00\nformat = "text"\npattern = "OR-%07u"\nfirst = 1\n'
                   f'last = 9999999\n[production]\ndatabase = "production.sqlite"\nstation = "bench"\n{slots}')


def event_seconds(event):
    stamp = datetime.datetime.strptime(event["time"], "%Y-%m-%dT%H:%M:%S.%fZ")
    return stamp.replace(tzinfo=datetime.timezone.utc).timestamp()


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Station:
    """A station in a folder of its own, and an operator per slot."""

    def __init__(self, build, locations, boards, realtime, delay_s):
        self.folder = tempfile.mkdtemp(prefix="orvan-station-bench-")
        self.locations = locations
        recipe(self.folder, locations)
        env = dict(os.environ)
        env.update({
            "VADAPTER_DEVICES": ";".join(f"Vexil USB-SPI Cable|A|0x{loc}" for loc in locations),
            "VADAPTER_FLASH": "fl-{location}.bin",
            "VADAPTER_PRESENT": "present-{location}",
            "VADAPTER_REALTIME": "1" if realtime else "0",
        })
        self.process = subprocess.Popen(
            [os.path.join(build, "orvan"), "--quiet", "station", "line.toml", "--count", str(boards),
             "--events", "events.jsonl"], cwd=self.folder, env=env)
        self.delay_s = delay_s
        self.read = 0
        self.buffer = ""
        self.slots = {loc: {"step": "place", "at": 0.0, "placed": 0.0, "board": 0} for loc in locations}

    def path(self, name):
        return os.path.join(self.folder, name)

    def events(self):
        try:
            with open(self.path("events.jsonl")) as text:
                text.seek(self.read)
                chunk = text.read()
                self.read = text.tell()
        except FileNotFoundError:
            return []
        self.buffer += chunk
        lines = self.buffer.split("\n")
        self.buffer = lines.pop()
        return [json.loads(line) for line in lines if line]

    def operate(self, on_event):
        while self.process.poll() is None:
            now = time.time()
            for event in self.events():
                on_event(self, event)
            for loc, slot in self.slots.items():
                if slot["step"] == "place" and now >= slot["at"]:
                    open(self.path(f"present-{loc}"), "w").close()
                    slot.update(step="placed", placed=time.time())
                elif slot["step"] == "take off" and now >= slot["at"]:
                    os.unlink(self.path(f"present-{loc}"))
                    slot["step"] = "gone"
            time.sleep(SETTLE_S)

    def hear(self, event):
        loc = event.get("location", "")[2:]
        slot = self.slots.get(loc)
        if slot is None:
            return
        if event["event"] == "done":
            slot.update(step="take off", at=time.time() + random.uniform(0, self.delay_s))
        elif event["event"] == "removed" and slot["step"] == "gone":
            slot["board"] += 1
            flash = self.path(f"fl-{loc}.bin")
            if os.path.exists(flash):
                os.unlink(flash)
            slot.update(step="place", at=time.time() + random.uniform(0, self.delay_s))

    def close(self):
        self.process.wait()
        shutil.rmtree(self.folder)


def placement(build, boards):
    latencies = []

    def on_event(station, event):
        slot = station.slots.get(event.get("location", "")[2:])
        if slot and event["event"] == "phase" and event["phase"] == "erase":
            latencies.append((event_seconds(event) - slot["placed"]) * 1000)
        station.hear(event)

    station = Station(build, ["1101"], boards, False, 0.05)
    station.operate(on_event)
    station.close()
    latencies.sort()
    return statistics.median(latencies), latencies[int(len(latencies) * 0.95) - 1], latencies[-1]


def rate(build, slots, boards_per_slot):
    locations = [f"{0x1101 + i:x}" for i in range(slots)]
    station = Station(build, locations, boards_per_slot * slots, True, 0.2)
    start = time.time()
    station.operate(Station.hear)
    elapsed = time.time() - start
    station.close()
    return boards_per_slot * slots * 3600 / elapsed


def memory(build, boards):
    samples = {}

    def on_event(station, event):
        if event["event"] == "done":
            samples["done"] = samples.get("done", 0) + 1
            if samples["done"] == 100:
                samples["first"] = resident_kib(station.process.pid)
            samples["last"] = resident_kib(station.process.pid)
        station.hear(event)

    station = Station(build, ["1101", "1102", "1103", "1104"], boards, False, 0.0)
    station.operate(on_event)
    station.close()
    return samples.get("first", 0), samples.get("last", 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--placements", type=int, default=50)
    parser.add_argument("--rate-boards", type=int, default=30, help="boards per slot")
    parser.add_argument("--memory-boards", type=int, default=10000)
    parser.add_argument("--only", choices=["placement", "rate", "memory"], help="one figure only")
    arguments = parser.parse_args()
    build = os.path.abspath(arguments.build)
    random.seed(20261209)
    if arguments.only in (None, "placement"):
        median, p95, worst = placement(build, arguments.placements)
        print(f"| placed to first erase, 1 slot, {arguments.placements} boards | median {median:.0f} ms, "
              f"95th percentile {p95:.0f} ms, worst {worst:.0f} ms |", flush=True)
    if arguments.only in (None, "rate"):
        one = rate(build, 1, arguments.rate_boards)
        eight = rate(build, 8, arguments.rate_boards)
        print(f"| boards per hour, {arguments.rate_boards} boards a slot | 1 slot {one:.0f}, 8 slots {eight:.0f}: "
              f"{eight / (8 * one):.2f} of 8 x one slot |", flush=True)
    if arguments.only not in (None, "memory"):
        return 0
    first, last = memory(build, arguments.memory_boards)
    print(f"| resident memory, 4 slots | {first} KiB after 100 boards, {last} KiB after "
          f"{arguments.memory_boards}: {last - first:+d} KiB |", flush=True)


if __name__ == "__main__":
    sys.exit(main())
