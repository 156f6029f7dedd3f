#!/usr/bin/env python3
"""Several processes edit one tree of one data folder at once: HTTP clients
on `serve` processes and in-process `tsauthor call` commands, optionally
killing the first server with SIGKILL now and then (and restarting it).
Every answered AddChildNew must be in the document, and the rows and the
documents must agree.

  processes.py TSAUTHOR CHECKER DATA_DIR SERVERS HTTP_THREADS CLI_THREADS SECONDS CATALOG [kill]

TSAUTHOR_HELVIX_URI / TSAUTHOR_KCATALOG_URI in the environment select
PostgreSQL (two servers need it); CHECKER is tsa_check_consistency."""
import json, os, random, signal, subprocess, sys, threading, time, urllib.request, socket
import xml.etree.ElementTree as ET
KILL = len(sys.argv) > 9 and sys.argv[9] == "kill"
BIN, CHECK, DATA, SERVERS, HTTP_THREADS, CLI_THREADS, SECONDS = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6]), float(sys.argv[7])
TOKEN = os.urandom(16).hex()  # the service token: every request but /health needs an identity
env = dict(os.environ, TSAUTHOR_DATA_DIR=DATA, TSAUTHOR_TOKEN=TOKEN)
AUTH = {"Authorization": "Bearer " + TOKEN}
def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p
def rpc(port, method, params):
    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": method, "params": params}).encode()
    req = urllib.request.Request(f"http://127.0.0.1:{port}/rpc", body, {"Content-Type": "application/json", **AUTH})
    with urllib.request.urlopen(req, timeout=60) as r: return json.loads(r.read())
def cli(method, params):
    p = subprocess.run([BIN, "call", method, json.dumps(params)], env=env, capture_output=True, text=True)
    if p.returncode != 0: return {"error": p.stderr.strip()[:300]}
    return {"result": json.loads(p.stdout)}
def start(port):
    p = subprocess.Popen([BIN, "serve"], env=dict(env, TSAUTHOR_PORT=str(port)), stdout=subprocess.DEVNULL, stderr=open(DATA + f"/serve{port}.err", "a"))
    for _ in range(300):
        try: urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=1); return p
        except Exception: time.sleep(0.05)
    raise SystemExit("no start")
subprocess.run([BIN, "init"], env=env, check=True, stdout=subprocess.DEVNULL)
subprocess.run([BIN, "catalog", "load", sys.argv[8]], env=env, check=True, stdout=subprocess.DEVNULL)
ports = [free_port() for _ in range(SERVERS)]
servers = [start(p) for p in ports]
print(rpc(ports[0], "TSDOM.CreateEmptyTree", {"i_lTreeType": 1, "i_lID": 7}))
print(rpc(ports[0], "TSDOM.CheckOut", {"i_lTreeType": 1, "i_lID": 7, "i_sUserId": "ann", "o_sOwner": ""}))
done = []; errors = []; lock = threading.Lock(); deadline = time.time() + SECONDS
def add_params(txt):
    return {"i_lTreeType": 1, "i_lID": 7, "i_lCurrentNodeID": 0, "i_lRepType": 1, "i_sSDesc": txt, "i_sLDesc": "",
            "i_sVisibilities": ";1;", "i_sFAQs": ";", "i_lHyperlinkNodeID": -1, "i_sUserId": "ann"}
def worker(call, name):
    i = 0
    while time.time() < deadline:
        i += 1; txt = f"{name}-{i}"
        try:
            r = call("TSDOM.AddChildNew", add_params(txt))
        except Exception:
            time.sleep(0.05); continue  # the server was killed: no answer
        with lock:
            if "error" in r: errors.append((name, str(r["error"])[:300]))
            else: done.append((r["result"], txt))
threads = []
for s, port in enumerate(ports):
    for t in range(HTTP_THREADS):
        threads.append(threading.Thread(target=worker, args=(lambda m, p, port=port: rpc(port, m, p), f"s{s}t{t}")))
for t in range(CLI_THREADS):
    threads.append(threading.Thread(target=worker, args=(cli, f"cli{t}")))
kills = 0
def killer():
    global kills
    while KILL and time.time() < deadline - 1:
        time.sleep(random.uniform(0.3, 1.2))
        servers[0].send_signal(signal.SIGKILL); servers[0].wait(); kills += 1
        servers[0] = start(ports[0])
threads.append(threading.Thread(target=killer))
for t in threads: t.start()
for t in threads: t.join()
print("kills:", kills)
with urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{ports[-1]}/trees/1/7/document?user=ann", headers=AUTH), timeout=30) as r:
    root = ET.fromstring(r.read())
got = {int(e.get("NID")): e.find("sd").text for e in root.iter("Node")}
missing = [(n, t) for n, t in done if got.get(n) != t]
dup = len(done) - len(set(n for n, _ in done))
for s in servers: s.send_signal(signal.SIGTERM)
for s in servers: s.wait()
chk = subprocess.run([CHECK, DATA], env=env, capture_output=True, text=True)
print(f"answered adds {len(done)}, errors {len(errors)}, duplicate ids {dup}, lost {len(missing)}, nodes in document {len(got)}")
for e in errors[:5]: print("error:", e)
print("lost:", missing[:10])
print(chk.stdout[-2000:], chk.stderr[-500:])
leftovers = subprocess.run(["find", DATA, "-name", "*.tsa-tmp-*"], capture_output=True, text=True).stdout.split()
print("temporaries left:", len(leftovers))
sys.exit(0 if not missing and not errors and not dup and chk.returncode == 0 else 1)
