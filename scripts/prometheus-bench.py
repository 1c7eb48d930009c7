#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The Prometheus endpoint's effect on the poll path, and a fleet scraped by one Prometheus
(figures of docs/prometheus.md).

Poll path: runs `devhost run` on the simulated sensor, polling every 50 ms, as
scripts/mqtt-bench.py does (the delay of a cycle is the gap between consecutive cycle lines of
the console minus the poll interval), three ways: without the endpoint; with it and a scraper
that GETs /metrics 100 times a second; with it and 16 scrapers that send their request and never
read the answer. Each run gives the host's CPU time, its peak memory (ru_maxrss) and the scrapes
served; the host's CPU per scrape is the second run's CPU less the first's, per scrape.

Fleet: HOSTS hosts (10 by default), each with a simulated sensor of its own, scraped every
second by one Prometheus server for FLEET_SECONDS (30); Prometheus's own scrape_duration_seconds
of each target, and the hosts' CPU per second. Every connection stays on 127.0.0.1. Not part of
CI.

    BUILD_DIR=build python3 scripts/prometheus-bench.py [CYCLES]
"""
import http.client, json, os, shutil, socket, subprocess, sys, tempfile, threading, time
import urllib.parse

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.environ.get("BUILD_DIR", os.path.join(root, "build"))
cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 400
hosts = int(os.environ.get("HOSTS", "10"))
fleet_seconds = int(os.environ.get("FLEET_SECONDS", "30"))
poll_ms = 50
devhost = os.path.join(build, "tools/devhost/devhost")
sim = os.path.join(build, "tools/do3008ra-sim/do3008ra-sim")
plugins = os.path.join(build, "plugins")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds=60):
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        try:
            socket.create_connection(("127.0.0.1", port), 0.1).close()
            return
        except OSError:
            time.sleep(0.02)
    raise SystemExit(f"nothing listens on {port} after {seconds} s")


def start_sensor(work, name):
    tty = os.path.join(work, name + ".tty")
    sensor = subprocess.Popen([sim, "--link", tty, "--static"], stdout=subprocess.DEVNULL)
    while not os.path.exists(tty):
        time.sleep(0.01)
    return sensor, tty


def host_config(work, name, tty, port, poll):
    config = {"lines": [{"device": tty, "pollIntervalMs": poll, "responseTimeoutMs": 150,
                         "devices": [{"plugin": "do3008ra.so", "dataId": 12,
                                      "settings": {"appSetting": {"b_mode": 5}}}]}]}
    if port:
        config["prometheus"] = {"listen": f"127.0.0.1:{port}"}
    path = os.path.join(work, name + ".json")
    with open(path, "w") as f:
        json.dump(config, f)
    return path


def host_command(work, name, path, extra):
    return [devhost, "run", *extra, path, "--db", os.path.join(work, name + ".db"),
            "--plugin-dir", plugins, "--plugin-log", os.devnull, "--log-level", "detail"]


def hammer(port, stop, served, per_second=100):
    """GETs /metrics per_second times a second, one connection each, until stop is set."""
    period = 1.0 / per_second
    next_at = time.monotonic()
    while not stop.is_set():
        try:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            connection.request("GET", "/metrics")
            if connection.getresponse().read():
                served[0] += 1
            connection.close()
        except OSError:
            pass
        next_at += period
        time.sleep(max(0.0, next_at - time.monotonic()))


def never_reading(port, stop, served, count=16):
    """count connections that ask for /metrics and never read, held until stop is set."""
    hogs = []
    for _ in range(count):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", port))
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        hogs.append(s)
        served[0] += 1
    stop.wait()
    for s in hogs:
        s.close()


def poll_run(work, tty, name, scraper):
    port = free_port() if scraper else None
    path = host_config(work, name, tty, port, poll_ms)
    host = subprocess.Popen(host_command(work, name, path, ["--cycles", str(cycles)]),
                            stdout=subprocess.PIPE, text=True)
    stop, served, worker = threading.Event(), [0], None
    stamps = []
    for line in host.stdout:
        if " cycle " in line:
            stamps.append(time.monotonic())
            if scraper and worker is None and len(stamps) == 5:
                worker = threading.Thread(target=scraper, args=(port, stop, served))
                worker.start()
    _, status, usage = os.wait4(host.pid, 0)
    stop.set()
    if worker:
        worker.join()
    cpu = usage.ru_utime + usage.ru_stime
    gaps = sorted((b - a) * 1000 - poll_ms for a, b in zip(stamps, stamps[1:]))
    print(f"{name:24} cycles {len(stamps):4}  scrapes {served[0]:5}  CPU {cpu:6.3f} s"
          f"  peak RSS {usage.ru_maxrss / 1024:6.1f} MiB  delay p50 {gaps[len(gaps) // 2]:6.2f} ms"
          f"  p99 {gaps[int(len(gaps) * 0.99)]:6.2f} ms  worst {gaps[-1]:6.2f} ms")
    return cpu, served[0]


def query(port, promql):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request("GET", "/api/v1/query?query=" + urllib.parse.quote(promql))
    answer = json.loads(connection.getresponse().read())
    connection.close()
    return [float(r["value"][1]) for r in answer["data"]["result"]]


def fleet(work):
    sensors, members, ports = [], [], []
    for i in range(hosts):
        sensor, tty = start_sensor(work, f"fleet{i}")
        sensors.append(sensor)
        port = free_port()
        ports.append(port)
        path = host_config(work, f"fleet{i}", tty, port, 1000)
        members.append(subprocess.Popen(host_command(work, f"fleet{i}", path, []),
                                        stdout=subprocess.DEVNULL))
    prometheus_port = free_port()
    targets = ", ".join(f"'127.0.0.1:{p}'" for p in ports)
    with open(os.path.join(work, "prometheus.yml"), "w") as f:
        f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 900ms\nscrape_configs:\n"
                f"  - job_name: devhost\n    static_configs:\n      - targets: [{targets}]\n")
    prometheus = subprocess.Popen(
        ["prometheus", "--config.file=" + os.path.join(work, "prometheus.yml"),
         "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
         f"--web.listen-address=127.0.0.1:{prometheus_port}"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for port in ports:
            wait_port(port)
        wait_port(prometheus_port)
        before = [cpu_seconds(m.pid) for m in members]
        time.sleep(fleet_seconds)
        after = [cpu_seconds(m.pid) for m in members]
        window = f"{fleet_seconds}s"
        durations = query(prometheus_port,
                          f'avg_over_time(scrape_duration_seconds{{job="devhost"}}[{window}])')
        worst = query(prometheus_port,
                      f'max_over_time(scrape_duration_seconds{{job="devhost"}}[{window}])')
        up = query(prometheus_port, 'sum(up{job="devhost"})')
        per_second = sum(a - b for a, b in zip(after, before)) / fleet_seconds / hosts
        print(f"fleet of {hosts}: up {up[0]:.0f}  scrape duration mean "
              f"{1000 * sum(durations) / len(durations):.2f} ms, worst {1000 * max(worst):.2f} ms; "
              f"host CPU {1000 * per_second:.2f} ms per second each (a poll and a scrape a second)")
    finally:
        prometheus.terminate()
        prometheus.wait()
        for process in members + sensors:
            process.terminate()
            process.wait()


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    if not shutil.which("prometheus"):
        raise SystemExit("no prometheus program (scripts/install-deps.sh installs it)")
    work = tempfile.mkdtemp(prefix="prometheus-bench-")
    print(f"load before: {open('/proc/loadavg').read().split()[0]}")
    sensor, tty = start_sensor(work, "sensor")
    try:
        without, _ = poll_run(work, tty, "without-endpoint", None)
        with_cpu, scrapes = poll_run(work, tty, "scraped-100-per-second", hammer)
        poll_run(work, tty, "16-never-reading", never_reading)
        if scrapes:
            print(f"host CPU per scrape: {1e6 * (with_cpu - without) / scrapes:.0f} us")
    finally:
        sensor.terminate()
        sensor.wait()
    fleet(work)
    print(f"load after: {open('/proc/loadavg').read().split()[0]}")


main()
