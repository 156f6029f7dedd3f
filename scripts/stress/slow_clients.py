"""Holds a tsauthor service under slow and idle clients and measures how a
normal client fares, then stops it with SIGTERM while calls are in flight.

  slow_clients.py TSAUTHOR DATA_DIR CATALOG [PER_KIND] [SECONDS]

PER_KIND (default 200) connections of each kind are kept open the whole
time, each kind from a loopback address of its own (127.0.0.2 to 127.0.0.5),
and reopened as soon as the service closes one:
  half-head     half a request head, then nothing
  partial-body  a whole head announcing 1,000 body bytes, then 10 of them
  slow-reader   a request for a 10 MB document, read at 1 KB/s
  idle          one request, then nothing on the kept-alive connection
Meanwhile a normal client asks for /health and makes a small JSON-RPC call,
each on a new connection, and the latencies are reported (p50, p99, max).
Then 8 clients make edits, PER_KIND connections of each kind stall again,
and SIGTERM is sent: the time to exit is reported, and every edit that was
answered must be in the tree after a restart.

Exits non-zero when a target is missed: p99 above 100 ms, an exit later
than 5 s or not with status 0, or an answered edit lost.
"""
import json, multiprocessing, os, selectors, signal, socket, subprocess, sys, threading, time, urllib.request

BIN, DATA, CATALOG = sys.argv[1], sys.argv[2], sys.argv[3]
PER_KIND = int(sys.argv[4]) if len(sys.argv) > 4 else 200
SECONDS = float(sys.argv[5]) if len(sys.argv) > 5 else 30
TOKEN = os.urandom(16).hex()  # the service token: every request but /health needs an identity
env = dict(os.environ, TSAUTHOR_DATA_DIR=DATA, TSAUTHOR_TOKEN=TOKEN)
AUTH = {"Authorization": "Bearer " + TOKEN}


def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p


def rpc(port, method, params, timeout=60):
    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": method, "params": params}).encode()
    req = urllib.request.Request(f"http://127.0.0.1:{port}/rpc", body, {"Content-Type": "application/json", **AUTH})
    with urllib.request.urlopen(req, timeout=timeout) as r:
        return json.loads(r.read())


def start(port):
    p = subprocess.Popen([BIN, "serve"], env=dict(env, TSAUTHOR_PORT=str(port)), stdout=subprocess.DEVNULL,
                         stderr=open(os.path.join(DATA, "serve.err"), "a"))
    for _ in range(300):
        try:
            urllib.request.urlopen(f"http://127.0.0.1:{port}/health/live", timeout=1); return p
        except Exception:
            time.sleep(0.05)
    raise SystemExit("the service did not start")


def add(port, parent, rep_type, sd, ld="", user="ann"):
    r = rpc(port, "TSDOM.AddChildNew", {"i_lTreeType": 1, "i_lID": 7, "i_lCurrentNodeID": parent,
                                        "i_lRepType": rep_type, "i_sSDesc": sd, "i_sLDesc": ld,
                                        "i_sVisibilities": ";1;", "i_sFAQs": ";", "i_lHyperlinkNodeID": -1,
                                        "i_sUserId": user})
    if "error" in r: raise SystemExit("AddChildNew failed: " + r["error"]["message"][:300])
    return r["result"]


class Stallers:
    """Keeps PER_KIND connections of each kind stalled, on one thread."""
    KINDS = {"half-head": "127.0.0.2", "partial-body": "127.0.0.3", "slow-reader": "127.0.0.4", "idle": "127.0.0.5"}

    def __init__(self, port, per_kind):
        self.port, self.per_kind = port, per_kind
        self.sel = selectors.DefaultSelector()
        self.count = {k: 0 for k in self.KINDS}
        self.reopened = {k: 0 for k in self.KINDS}
        self.refused = 0
        self.readers = []
        # A process of its own, so that the measuring client never waits for it.
        self.stop = multiprocessing.Event()
        self.ready = multiprocessing.Event()
        self.thread = multiprocessing.Process(target=self.run, daemon=True)

    def open(self, kind):
        s = socket.socket()
        if kind == "slow-reader":
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.bind((self.KINDS[kind], 0))
        try:
            s.connect(("127.0.0.1", self.port))
        except OSError:
            s.close(); return
        head = "POST /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + TOKEN + "\r\n"
        if kind == "half-head":
            s.sendall((head + "Content-Type: appl").encode())
        elif kind == "partial-body":
            s.sendall((head + "Content-Type: application/json\r\nContent-Length: 1000\r\n\r\n" + '{"jsonrpc"').encode())
        elif kind == "slow-reader":
            s.sendall(f"GET /trees/1/7/document?user=ann HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer {TOKEN}\r\n\r\n".encode())
        else:
            s.sendall(b"GET /health/live HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        s.setblocking(False)
        if kind == "slow-reader":
            self.readers.append(s)  # read 1 KB a second, never waiting for more
        else:
            self.sel.register(s, selectors.EVENT_READ, {"kind": kind, "first": True})
        self.count[kind] += 1

    def close(self, key):
        self.sel.unregister(key.fileobj); key.fileobj.close()
        self.count[key.data["kind"]] -= 1
        self.reopened[key.data["kind"]] += 1

    def run(self):
        next_tick = time.monotonic()
        while not self.stop.is_set():
            for kind in self.KINDS:
                while self.count[kind] < self.per_kind and not self.stop.is_set():
                    self.open(kind)
            if not self.ready.is_set():
                print("stalled connections:", dict(self.count), flush=True)
                self.ready.set()
            now = time.monotonic()
            if now >= next_tick:
                next_tick = now + 1.0
                for s in list(self.readers):
                    try:
                        chunk = s.recv(1024)
                    except (BlockingIOError, InterruptedError):
                        continue
                    except OSError:
                        chunk = b""
                    if chunk.startswith(b"HTTP/1.1 503"):
                        self.refused += 1
                    if not chunk:
                        self.readers.remove(s); s.close()
                        self.count["slow-reader"] -= 1; self.reopened["slow-reader"] += 1
            for key, _ in self.sel.select(timeout=0.05):
                d = key.data
                try:
                    chunk = key.fileobj.recv(65536)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    chunk = b""
                if d["first"] and chunk.startswith(b"HTTP/1.1 503"):
                    self.refused += 1
                d["first"] = False
                if not chunk:
                    self.close(key)
        for key in list(self.sel.get_map().values()):
            self.sel.unregister(key.fileobj); key.fileobj.close()
        print("stalled connections:", dict(self.count), "reopened after the service closed them:",
              dict(self.reopened), "503 answers:", self.refused, flush=True)
        for s in self.readers:
            s.close()


def percentile(values, q):
    v = sorted(values)
    return v[min(len(v) - 1, int(q * len(v)))] if v else float("nan")


def measure(port, seconds):
    health, calls, failures = [], [], 0
    end = time.monotonic() + seconds
    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "TSDOM.AppendVisibilityInOrder",
                       "params": {"sTempArr": ";1;5;", "sVisibility": "3"}}).encode()
    while time.monotonic() < end:
        for path, out in (("/health", health), ("/rpc", calls)):
            t = time.monotonic()
            try:
                if path == "/rpc":
                    req = urllib.request.Request(f"http://127.0.0.1:{port}/rpc", body, {"Content-Type": "application/json", **AUTH})
                    with urllib.request.urlopen(req, timeout=10) as r:
                        ok = json.loads(r.read()).get("result") == ";1;3;5;"
                else:
                    with urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=10) as r:
                        ok = r.status == 200; r.read()
            except Exception as e:
                ok = False
                print(f"  {path} failed after {(time.monotonic() - t) * 1000:.0f} ms: {type(e).__name__}: {e}", flush=True)
            out.append((time.monotonic() - t) * 1000)
            failures += not ok
        time.sleep(0.02)
    return health, calls, failures


subprocess.run([BIN, "init"], env=env, check=True, stdout=subprocess.DEVNULL)
subprocess.run([BIN, "catalog", "load", CATALOG], env=env, check=True, stdout=subprocess.DEVNULL)
port = free_port(); srv = start(port)
rpc(port, "TSDOM.CreateEmptyTree", {"i_lTreeType": 1, "i_lID": 7})
rpc(port, "TSDOM.CheckOut", {"i_lTreeType": 1, "i_lID": 7, "i_sUserId": "ann", "o_sOwner": ""})
# A document of about 10 MB: 100 categories with a long description each.
text = ("The paper path is blocked; open the rear cover and look for torn sheets. " * 1400)[:100000]
for i in range(100):
    add(port, 0, 1, f"Category {i}", text)
with urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/trees/1/7/document?user=ann", headers=AUTH), timeout=60) as r:
    size = len(r.read())
print(f"document: {size / 1e6:.1f} MB", flush=True)

bad = False
stallers = Stallers(port, PER_KIND); stallers.thread.start()
stallers.ready.wait(); time.sleep(2)
health, calls, failures = measure(port, SECONDS)
stallers.stop.set(); stallers.thread.join()
for name, v in (("/health", health), ("JSON-RPC call", calls)):
    p99 = percentile(v, 0.99)
    print(f"{name}: {len(v)} requests, p50 {percentile(v, 0.5):.1f} ms, p99 {p99:.1f} ms, max {max(v):.1f} ms", flush=True)
    bad |= not p99 < 100
print(f"failed requests: {failures}", flush=True)
bad |= failures > 0

# SIGTERM while stalled connections are held and edits are in flight.
answered, lock, go = [], threading.Lock(), threading.Event()
def editor(t):
    go.wait()
    for i in range(100000):
        try:
            r = rpc(port, "TSDOM.AddChildNew", {"i_lTreeType": 1, "i_lID": 7, "i_lCurrentNodeID": 1, "i_lRepType": 2,
                                                "i_sSDesc": f"t{t}i{i}", "i_sLDesc": "", "i_sVisibilities": ";1;",
                                                "i_sFAQs": ";", "i_lHyperlinkNodeID": -1, "i_sUserId": "ann"}, timeout=30)
        except Exception:
            return
        if "result" in r:
            with lock: answered.append((r["result"], f"t{t}i{i}"))
editors = [threading.Thread(target=editor, args=(t,)) for t in range(8)]
for t in editors: t.start()
stallers = Stallers(port, PER_KIND); stallers.thread.start()
stallers.ready.wait()
go.set(); time.sleep(2)
print("before SIGTERM: edits answered:", len(answered), flush=True)
t0 = time.monotonic(); srv.send_signal(signal.SIGTERM)
try:
    rc = srv.wait(timeout=60)
except subprocess.TimeoutExpired:
    srv.kill(); rc = "still running after 60 s"
took = time.monotonic() - t0
for t in editors: t.join()
stallers.stop.set(); stallers.thread.join()
print(f"SIGTERM: exit status {rc} after {took:.2f} s", flush=True)
bad |= rc != 0 or took > 5

srv = start(port)
with urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/trees/1/7/document?user=ann", headers=AUTH), timeout=60) as r:
    import xml.etree.ElementTree as ET
    got = {int(e.get("NID")): e.find("sd").text for e in ET.fromstring(r.read()).iter("Node")}
lost = [(n, t) for n, t in answered if got.get(n) != t]
print(f"edits answered: {len(answered)}, lost after the restart: {len(lost)}", flush=True)
bad |= bool(lost)
srv.send_signal(signal.SIGTERM); srv.wait()
sys.exit(1 if bad else 0)
