#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A fleet of hosts on one broker (figures of docs/mqtt-fleet.md).

Starts one mosquitto on 127.0.0.1, then N `devhost run`, each with its own simulated sensor(s),
database and prefix (fleet/h000, fleet/h001, ...), all publishing their states to that broker at
QoS 1, and one subscriber (mosquitto_sub) to every state. At the end it accounts, per host and
device, for every state the host produced (each cycle it printed): received by the subscriber,
superseded by design (the host's bounded queue replaced an unsent state by a newer one: its
`superseded` count in mqtt_summaries), or lost (neither). It prints the broker's CPU, the
messages per second, the delay from the cycle to the subscriber (percentiles) and the machine's
load while it ran. Every connection stays on 127.0.0.1; everything it starts it stops.

    BUILD_DIR=build python3 scripts/mqtt-fleet.py [--hosts N] [--devices D] [--seconds S]
                                                  [--poll-ms MS] [--check] [--json FILE]

--check exits 1 when a state was lost or a host failed (the suite's short run: --hosts 3).
"""
import argparse, json, os, select, selectors, signal, socket, sqlite3, subprocess, sys, tempfile, time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.environ.get("BUILD_DIR", os.path.join(root, "build"))
devhost = os.path.join(build, "tools/devhost/devhost")
sim = os.path.join(build, "tools/do3008ra-sim/do3008ra-sim")
plugins = os.path.join(build, "plugins")


def options():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hosts", type=int, default=10)
    parser.add_argument("--devices", type=int, default=1, help="sensors per host, a line each")
    parser.add_argument("--seconds", type=float, default=60, help="how long the fleet publishes")
    parser.add_argument("--poll-ms", type=int, default=1000)
    parser.add_argument("--check", action="store_true", help="exit 1 when anything was lost")
    parser.add_argument("--json", help="write the figures there too")
    return parser.parse_args()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds, what):
    """Waits for `predicate`, the limit stretched by the tree's E2E_TIME_SCALE (as the tests do)."""
    scale = max(1.0, float(os.environ.get("E2E_TIME_SCALE", "1") or 1))
    until = time.monotonic() + seconds * scale
    while not predicate():
        if time.monotonic() > until:
            raise SystemExit(f"mqtt-fleet: {what} within {seconds * scale:g} s")
        time.sleep(0.02)


def cpu_seconds(pid):
    """User + system time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def machine_busy():
    """(busy, total) jiffies of all cores: the machine's load over an interval."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    idle = values[3] + values[4]
    return sum(values) - idle, sum(values)


class Fleet:
    def __init__(self, args, work):
        self.args, self.work = args, work
        self.port = free_port()
        self.processes = []  # (name, Popen), stopped in reverse order
        self.cycles = {}     # (host, data id) -> [wall time of each cycle line]
        self.received = {}   # (host, data id) -> [wall time the subscriber got each state]
        self.failed = []
        self.partial = {}    # fd -> the start of a line not yet whole

    def start(self, name, argv, **kwargs):
        process = subprocess.Popen(argv, **kwargs)
        self.processes.append((name, process))
        return process

    def start_broker(self):
        conf = os.path.join(self.work, "broker.conf")
        with open(conf, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                    "log_dest none\nmax_queued_messages 0\n")
            if os.getuid() == 0:
                f.write("user root\n")
        self.broker = self.start("broker", ["/usr/sbin/mosquitto", "-c", conf],
                                 stderr=subprocess.DEVNULL)

        def accepts():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_for(accepts, 10, "the broker did not start")

    def start_subscriber(self):
        self.subscriber = self.start(
            "subscriber", ["/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port),
                           "-q", "1", "-t", "fleet/#", "-F", "%U %t"], stdout=subprocess.PIPE)
        # Subscribed once a probe comes back (it is not counted: not a state).
        until = time.monotonic() + 10
        while time.monotonic() < until:
            subprocess.run(["/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port),
                            "-t", "fleet/probe", "-m", "-"], check=True)
            ready, _, _ = select.select([self.subscriber.stdout], [], [], 0.5)
            if ready:
                self.partial[self.subscriber.stdout.fileno()] = os.read(
                    self.subscriber.stdout.fileno(), 1 << 16).split(b"\n")[-1]
                return
        raise SystemExit("mqtt-fleet: the subscriber did not subscribe")

    def start_host(self, index):
        folder = os.path.join(self.work, f"h{index:03d}")
        os.makedirs(folder)
        lines = []
        for device in range(1, self.args.devices + 1):
            tty = os.path.join(folder, f"tty{device}")
            # Each sensor its own wave, so that consecutive states differ.
            self.start(f"sim {index}.{device}",
                       [sim, "--link", tty, "--temperature", f"20:30:{17 + index % 13}",
                        "--seed", str(index * 100 + device)], stdout=subprocess.DEVNULL)
            lines.append({"device": tty, "pollIntervalMs": self.args.poll_ms,
                          "responseTimeoutMs": 200,
                          "devices": [{"plugin": "do3008ra.so", "dataId": device,
                                       "settings": {"appSetting": {"b_mode": 5}}}]})
        for line in lines:
            wait_for(lambda: os.path.exists(line["device"]), 10, "a simulator did not start")
        config = os.path.join(folder, "host.json")
        with open(config, "w") as f:
            json.dump({"mqtt": {"host": "127.0.0.1", "port": self.port, "qos": 1,
                                "clientId": f"fleet{index:03d}", "prefix": f"fleet/h{index:03d}"},
                       "lines": lines}, f)
        host = self.start(f"host {index}",
                          [devhost, "run", "--json", config, "--db",
                           os.path.join(folder, "host.db"), "--plugin-dir", plugins,
                           "--plugin-log", os.devnull], stdout=subprocess.PIPE)
        host.index, host.folder = index, folder
        return host

    def collect(self, hosts, seconds=None):
        """Reads every host's cycle lines and the subscriber's states as they come, stamping
        both at the moment this one loop reads them (so its own lag cancels out). For `seconds`,
        or with none until nothing came for 2 s."""
        selector = selectors.DefaultSelector()
        for stream, host in [(h.stdout, h) for h in hosts] + [(self.subscriber.stdout, None)]:
            if not stream.closed:
                selector.register(stream, selectors.EVENT_READ, host)
        until = time.monotonic() + seconds if seconds is not None else None
        while selector.get_map():
            timeout = 2.0 if until is None else until - time.monotonic()
            if timeout <= 0:
                break
            events = selector.select(timeout)
            if not events and until is None:
                break
            for key, _ in events:
                data = os.read(key.fd, 1 << 16)
                now = time.time()
                if not data:
                    selector.unregister(key.fileobj)
                    key.fileobj.close()
                    continue
                pending = self.partial.get(key.fd, b"") + data
                *lines, self.partial[key.fd] = pending.split(b"\n")
                for line in lines:
                    if key.data is None:
                        self.take_state(line.decode(errors="replace"), now)
                    else:
                        self.take_host_line(key.data, line, now)
        selector.close()

    def take_host_line(self, host, line, now):
        try:
            event = json.loads(line)
        except ValueError:
            return
        if event.get("event") == "cycle":
            self.cycles.setdefault((host.index, event["data_id"]), []).append(now)

    def take_state(self, line, now):
        parts = line.split()
        topic = parts[1].split("/") if len(parts) > 1 else []
        if len(topic) == 4 and topic[0] == "fleet" and topic[3] == "state":
            key = (int(topic[1][1:]), int(topic[2]))
            self.received.setdefault(key, []).append((now, float(parts[0])))


def percentile(values, share):
    return values[min(len(values) - 1, int(len(values) * share))] if values else float("nan")


def summaries(host):
    with sqlite3.connect(os.path.join(host.folder, "host.db")) as db:
        rows = db.execute("SELECT data_id, published, dropped, superseded FROM mqtt_summaries")
        return {row[0]: row[1:] for row in rows}


def main():
    args = options()
    work = tempfile.mkdtemp(prefix="mqtt-fleet-")
    fleet = Fleet(args, work)
    code = 0
    try:
        fleet.start_broker()
        fleet.start_subscriber()
        hosts = [fleet.start_host(i) for i in range(args.hosts)]
        # The first cycles (connects, discovery) are counted too; the figures of the steady
        # part are taken over the measured window.
        fleet.collect(hosts, min(3.0, args.seconds / 4))
        broker_cpu, busy, load = cpu_seconds(fleet.broker.pid), machine_busy(), os.getloadavg()
        host_cpu = sum(cpu_seconds(h.pid) for h in hosts)
        window_start = time.time()
        fleet.collect(hosts, args.seconds)
        window_end = time.time()
        window = window_end - window_start
        broker_cpu = cpu_seconds(fleet.broker.pid) - broker_cpu
        busy_end = machine_busy()
        machine = (busy_end[0] - busy[0]) / max(1, busy_end[1] - busy[1])
        load_end = os.getloadavg()
        host_cpu = sum(cpu_seconds(h.pid) for h in hosts) - host_cpu
        fleet.window = (window_start, window_end)
        for host in hosts:
            host.send_signal(signal.SIGTERM)
        for host in hosts:
            if host.wait(30) != 0:
                fleet.failed.append(f"host {host.index} exited {host.returncode}")
        fleet.collect(hosts)  # the last cycles and the states the stops flushed
        code = report(fleet, hosts, window, broker_cpu, host_cpu, machine, load, load_end)
    finally:
        for name, process in reversed(fleet.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        subprocess.run(["rm", "-rf", work])
    return code


def report(fleet, hosts, window, broker_cpu, host_cpu, machine, load, load_end):
    args = fleet.args
    totals = {"produced": 0, "received": 0, "superseded": 0, "lost": 0, "extra": 0}
    delays = []
    for host in hosts:
        counts = summaries(host)
        for device in range(1, args.devices + 1):
            key = (host.index, device)
            cycles, states = fleet.cycles.get(key, []), fleet.received.get(key, [])
            superseded = counts.get(device, (0, 0, 0))[2]
            lost = len(cycles) - len(states) - superseded
            totals["produced"] += len(cycles)
            totals["received"] += len(states)
            totals["superseded"] += superseded
            totals["lost"] += max(0, lost)
            totals["extra"] += max(0, -lost)  # published again (a reconnect): not lost either
            if lost > 0:
                fleet.failed.append(f"host {host.index} device {device}: {lost} state(s) lost")
            # Without superseding the k-th state received is the k-th cycle's.
            if superseded == 0 and len(states) == len(cycles):
                delays += [(got[0] - made) * 1000 for made, got in zip(cycles, states)]
    delays.sort()
    start, end = fleet.window
    rate = sum(1 for states in fleet.received.values() for got in states
               if start <= got[0] < end) / max(window, 1e-9)
    figures = dict(totals, hosts=args.hosts, devices_per_host=args.devices, poll_ms=args.poll_ms,
                   seconds=round(window, 1), states_per_second=round(rate, 1),
                   broker_cpu_percent=round(100 * broker_cpu / window, 2),
                   hosts_cpu_percent=round(100 * host_cpu / window, 1),
                   delay_ms={"p50": round(percentile(delays, 0.5), 2),
                             "p90": round(percentile(delays, 0.9), 2),
                             "p99": round(percentile(delays, 0.99), 2),
                             "max": round(delays[-1], 2) if delays else None,
                             "samples": len(delays)},
                   machine_busy_percent=round(100 * machine, 1),
                   load_average_before=[round(v, 2) for v in load],
                   load_average_after=[round(v, 2) for v in load_end],
                   nice=os.nice(0), cores=os.cpu_count(), failures=fleet.failed)
    print(f"hosts {args.hosts} x {args.devices} device(s), poll {args.poll_ms} ms, "
          f"{window:.0f} s measured")
    print(f"states: produced {totals['produced']}  received {totals['received']}  "
          f"superseded {totals['superseded']}  lost {totals['lost']}  "
          f"published again {totals['extra']}")
    print(f"rate {rate:.1f} states/s  broker CPU {figures['broker_cpu_percent']} % of a core  "
          f"hosts CPU {figures['hosts_cpu_percent']} % of a core (all together)")
    d = figures["delay_ms"]
    print(f"cycle -> subscriber: p50 {d['p50']} ms  p90 {d['p90']} ms  p99 {d['p99']} ms  "
          f"max {d['max']} ms ({d['samples']} states)")
    print(f"machine: {figures['machine_busy_percent']} % busy over the window "
          f"({os.cpu_count()} cores), load average {figures['load_average_before']} -> "
          f"{figures['load_average_after']}, this run at nice {figures['nice']}")
    for failure in fleet.failed:
        print("FAILED: " + failure)
    if fleet.args.json:
        with open(fleet.args.json, "w") as f:
            json.dump(figures, f, indent=1)
    return 1 if fleet.args.check and (fleet.failed or totals["produced"] == 0) else 0


if __name__ == "__main__":
    sys.exit(main())
