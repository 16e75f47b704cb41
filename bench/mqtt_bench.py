#!/usr/bin/env python3
"""The MQTT bridge's figures against a local mosquitto: latency from the send step to a
subscriber, catch-up after an outage, pacing with and without the bridge, idle CPU.
Usage: bench/mqtt_bench.py RELAY_BINARY [OUTAGE_SECONDS]. Ports 4905-4909 on 127.0.0.1."""
import json, os, socket, statistics, subprocess, sys, tempfile, time, urllib.request

RELAY = sys.argv[1]
OUTAGE = int(sys.argv[2]) if len(sys.argv) > 2 else 60
BROKER, PORT, STATUS = 4905, 4906, 4908
work = tempfile.mkdtemp(prefix="mqtt-bench-")


def broker():
    conf = os.path.join(work, "m.conf")
    with open(conf, "w") as f:
        f.write(f"listener {BROKER} 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n")
    p = subprocess.Popen(["mosquitto", "-c", conf], stderr=subprocess.DEVNULL)
    wait_port(BROKER)
    return p


def wait_port(port):
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.05)


def relay(*args):
    conf = os.path.join(work, "r.conf")
    open(conf, "w").close()
    p = subprocess.Popen([RELAY, "--config", conf, "--port", str(PORT), "--status-port",
                          str(STATUS), "--timer", "50", *args], stderr=subprocess.DEVNULL)
    wait_port(PORT)
    return p


def mqtt_args(inflight=20):
    return ["--mqtt-broker", f"mqtt://127.0.0.1:{BROKER}", "--mqtt-topic", "b/lines",
            "--mqtt-inflight", str(inflight)]


def subscriber(path):
    return subprocess.Popen(["mosquitto_sub", "-p", str(BROKER), "-V", "5", "-q", "1", "-c", "-i",
                             "bench", "-x", "600", "-t", "b/lines", "-F", "%U %p"],
                            stdout=open(path, "w"))


def receive(n):
    """Connects a receiver; returns a function that reads n lines with their arrival times."""
    s = socket.create_connection(("127.0.0.1", PORT + 1))

    def read():
        times, buf = [], b""
        while len(times) < n:
            data = s.recv(65536)
            if not data:
                break
            now = time.time()
            buf += data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                times.append((now, line.decode()))
        return times
    return read


def send(lines):
    s = socket.create_connection(("127.0.0.1", PORT))
    s.sendall(b"".join(f"{l}\n".encode() for l in lines))
    s.close()


def pct(xs, p):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(round(p / 100 * (len(xs) - 1))))]


def pacing(extra):
    r = relay(*extra)
    read = receive(200)
    send([f"p {i}" for i in range(200)])
    got = read()
    r.terminate(); r.wait()
    gaps = [(b[0] - a[0]) * 1000 - 50 for a, b in zip(got, got[1:])]
    return statistics.median(gaps), pct(gaps, 99)


def cpu(pid, seconds=10):
    def ticks():
        f = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return int(f[11]) + int(f[12])
    t0 = ticks(); time.sleep(seconds)
    return (ticks() - t0) / os.sysconf("SC_CLK_TCK") / seconds * 100


b = broker()
# Latency: the TCP receiver's receipt stands for the send step.
out = os.path.join(work, "sub.out")
sub = subscriber(out); time.sleep(0.3)
r = relay(*mqtt_args())
read = receive(200)
send([f"l {i}" for i in range(200)])
tcp = {line: t for t, line in read()}
time.sleep(1)
sub.terminate(); sub.wait()
lat = []
for l in open(out):
    ts, payload = l.rstrip("\n").split(" ", 1)
    if payload in tcp:
        lat.append((float(ts) - tcp[payload]) * 1000)
print(f"latency send step -> subscriber (local broker, {len(lat)} lines): "
      f"median {statistics.median(lat):.2f} ms, p99 {pct(lat, 99):.2f} ms")
print(f"idle CPU over 10 s, bridge connected, Timer 50: {cpu(r.pid):.2f} % of one core")
r.terminate(); r.wait()

# Catch-up: the broker away for OUTAGE s while lines are sent at the pace.
for inflight in (20, 100):
    spool = tempfile.mkdtemp(prefix="spool-", dir=work)
    r = relay(*mqtt_args(inflight), "--spool", spool)
    b.terminate(); b.wait()
    send([f"c {i}" for i in range(OUTAGE * 20 + 200)])
    time.sleep(OUTAGE)
    b = broker()

    def mqtt():
        return json.load(urllib.request.urlopen(f"http://127.0.0.1:{STATUS}/status.json"))["mqtt"]
    # Timed from the reconnect (which waits out the backoff) until nothing is owed.
    while mqtt()["state"] != "connected":
        time.sleep(0.002)
    start, owed = time.time(), mqtt()["backlog"]
    while mqtt()["backlog"] > 1:
        time.sleep(0.002)
    took = time.time() - start
    print(f"catch-up after {OUTAGE} s away, Timer 50, MqttInflight {inflight}: {owed} lines "
          f"owed at the reconnect, caught up in {took:.3f} s, {owed / took:,.0f} lines/s")
    r.terminate(); r.wait()

# Pacing with and without the bridge.
for name, extra in (("without the bridge", []), ("with the bridge", mqtt_args())):
    med, p99 = pacing(extra)
    print(f"pacing, Timer 50, 1 receiver, {name}: gap error median {med:+.2f} / p99 {p99:+.2f} ms")
b.terminate(); b.wait()
