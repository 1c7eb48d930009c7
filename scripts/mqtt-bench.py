#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The MQTT bridge's cost and its effect on the poll path (figures of bench/README.md).

Runs `devhost run` on the simulated sensor, polling every 50 ms, and takes from each run:
the host's CPU time per cycle (user + system, from the kernel's accounting of the child) and
the gaps between consecutive cycle lines, read from the host's console as they come (the delay
of a cycle is its gap minus the poll interval). Runs: no MQTT; MQTT to a broker of its own on
127.0.0.1 (with Home Assistant discovery); MQTT to a port where nothing listens (refused); MQTT
to a broker that never answers; and a broker that stops reading (SIGSTOP) in the middle of
the run. Every connection stays on 127.0.0.1. Not part of CI. The first two runs are then
made again, each less a run of 30 cycles, so that start-up and stop leave the per-cycle figure
(STEADY_RUNS times, 3 by default).

    BUILD_DIR=build python3 scripts/mqtt-bench.py [CYCLES]
"""
import json, os, resource, signal, socket, subprocess, sys, tempfile, time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.environ.get("BUILD_DIR", os.path.join(root, "build"))
cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 400
poll_ms = 50
devhost = os.path.join(build, "tools/devhost/devhost")
sim = os.path.join(build, "tools/do3008ra-sim/do3008ra-sim")
plugins = os.path.join(build, "plugins")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def silent_listener():
    """A port on 127.0.0.1 whose connects never complete, like a broker behind a firewall that
    drops packets: it listens with a backlog of one and never accepts, and two connections fill
    the accept queue, so the kernel drops every later SYN and the connect hangs in retries."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    port = listener.getsockname()[1]
    fillers = []
    for _ in range(8):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(("127.0.0.1", port))
        fillers.append(filler)
    time.sleep(0.2)
    probe = socket.socket()
    probe.settimeout(1.0)
    try:
        probe.connect(("127.0.0.1", port))
        raise SystemExit("the silent listener still completes connections")
    except socket.timeout:
        pass
    finally:
        probe.close()
    return listener, fillers, port


def wait_port(port):
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), 0.1).close()
            return
        except OSError:
            time.sleep(0.01)
    raise SystemExit("broker did not start")


def run(work, name, mqtt, during=None, count=None, quiet=False):
    count = count or cycles
    config = {"lines": [{"device": os.path.join(work, "tty"), "pollIntervalMs": poll_ms,
                         "responseTimeoutMs": 150,
                         "devices": [{"plugin": "do3008ra.so", "dataId": 12,
                                      "settings": {"appSetting": {"b_mode": 5}}}]}]}
    if mqtt:
        config["mqtt"] = mqtt
    path = os.path.join(work, name + ".json")
    with open(path, "w") as f:
        json.dump(config, f)
    db = os.path.join(work, name + ".db")
    host = subprocess.Popen([devhost, "run", "--cycles", str(count), path, "--db", db,
                             "--plugin-dir", plugins, "--plugin-log", os.devnull, "--log-level", "detail"],
                            stdout=subprocess.PIPE, text=True)
    stamps = []
    for line in host.stdout:
        if " cycle " in line:
            stamps.append(time.monotonic())
            if during and len(stamps) == count // 3:
                during()
    _, status, usage = os.wait4(host.pid, 0)
    cpu = usage.ru_utime + usage.ru_stime
    gaps = sorted((b - a) * 1000 - poll_ms for a, b in zip(stamps, stamps[1:]))
    rows = subprocess.run(["sqlite3", db, "SELECT COUNT(*) FROM history"], capture_output=True,
                          text=True).stdout.strip() if os.path.exists("/usr/bin/sqlite3") else "?"
    if quiet:
        return cpu, len(stamps)
    print(f"{name:22} cycles {len(stamps):4}  stored {rows:>4}  CPU {cpu * 1000 / max(len(stamps), 1):6.3f} ms/cycle"
          f"  delay p50 {gaps[len(gaps) // 2]:6.2f} ms  p99 {gaps[int(len(gaps) * 0.99)]:6.2f} ms"
          f"  worst {gaps[-1]:6.2f} ms")
    return cpu / max(len(stamps), 1)


def steady(work, name, mqtt, short=30):
    """CPU per cycle without the start-up (and the stop): a run of CYCLES less one of 30."""
    long_cpu, long_count = run(work, name + "-long", mqtt, quiet=True)
    short_cpu, short_count = run(work, name + "-short", mqtt, count=short, quiet=True)
    return (long_cpu - short_cpu) / max(long_count - short_count, 1)


def main():
    work = tempfile.mkdtemp(prefix="mqtt-bench-")
    sensor = subprocess.Popen([sim, "--link", os.path.join(work, "tty"), "--static"],
                              stdout=subprocess.DEVNULL)
    while not os.path.exists(os.path.join(work, "tty")):
        time.sleep(0.01)
    port = free_port()
    with open(os.path.join(work, "broker.conf"), "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                "log_dest none\n")
    if os.getuid() == 0:
        with open(os.path.join(work, "broker.conf"), "a") as f:
            f.write("user root\n")
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(work, "broker.conf")])
    wait_port(port)
    try:
        base = {"host": "127.0.0.1", "clientId": "bench", "homeAssistant": True}
        without = run(work, "without-mqtt", None)
        with_mqtt = run(work, "with-mqtt", dict(base, port=port))
        print(f"CPU per cycle with MQTT / without: {with_mqtt / without:.2f}")
        # The runs above divide the whole process's CPU, start-up and stop included, by the
        # cycles; these leave both out, as scripts/bench.sh wire does.
        for _ in range(int(os.environ.get("STEADY_RUNS", "3"))):
            without = steady(work, "without-mqtt", None)
            with_mqtt = steady(work, "with-mqtt", dict(base, port=port))
            print(f"less start-up: without {without * 1e6:5.0f} us/cycle  with MQTT "
                  f"{with_mqtt * 1e6:5.0f} us/cycle  ratio {with_mqtt / without:.2f}"
                  f"  (load {open('/proc/loadavg').read().split()[0]})")
        run(work, "broker-refusing", dict(base, port=free_port()))
        silent = silent_listener()
        run(work, "broker-unreachable", dict(base, port=silent[2]))
        run(work, "broker-stops-reading", dict(base, port=port),
            during=lambda: os.kill(broker.pid, signal.SIGSTOP))
        os.kill(broker.pid, signal.SIGCONT)
    finally:
        broker.terminate()
        broker.wait()
        sensor.terminate()
        sensor.wait()


main()
