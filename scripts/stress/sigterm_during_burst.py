"""Sends SIGTERM to a tsauthor service during a burst of concurrent edits:
the service must exit 0 after the requests in flight are answered, leave no
temporaries, lose no answered call and apply none that went unanswered.

  sigterm_during_burst.py TSAUTHOR CHECKER DATA_DIR ROUNDS CATALOG
"""
import json, os, signal, subprocess, sys, threading, time, urllib.request, socket, random
import xml.etree.ElementTree as ET
BIN, CHECK, DATA, ROUNDS = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
TOKEN = os.urandom(16).hex()  # the service token: every request but /health needs an identity
env = dict(os.environ, TSAUTHOR_DATA_DIR=DATA, TSAUTHOR_TOKEN=TOKEN)
AUTH = {"Authorization": "Bearer " + TOKEN}
def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p
def rpc(port, method, params):
    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": method, "params": params}).encode()
    req = urllib.request.Request(f"http://127.0.0.1:{port}/rpc", body, {"Content-Type": "application/json", **AUTH})
    with urllib.request.urlopen(req, timeout=60) as r: return json.loads(r.read())
def start(port):
    p = subprocess.Popen([BIN, "serve"], env=dict(env, TSAUTHOR_PORT=str(port)), stdout=subprocess.DEVNULL, stderr=open(DATA + "/serve.err", "a"))
    for _ in range(300):
        try: urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=1); return p
        except Exception: time.sleep(0.05)
    raise SystemExit("no start")
subprocess.run([BIN, "init"], env=env, check=True, stdout=subprocess.DEVNULL)
subprocess.run([BIN, "catalog", "load", sys.argv[5]], env=env, check=True, stdout=subprocess.DEVNULL)
port = free_port(); srv = start(port)
rpc(port, "TSDOM.CreateEmptyTree", {"i_lTreeType": 1, "i_lID": 7})
bad = 0
for rnd in range(ROUNDS):
    rpc(port, "TSDOM.CheckOut", {"i_lTreeType": 1, "i_lID": 7, "i_sUserId": "ann", "o_sOwner": ""})
    done, unanswered, errs = [], [], []; lock = threading.Lock(); go = threading.Event()
    def w(t):
        go.wait()
        for i in range(1000):
            txt = f"r{rnd}t{t}i{i}"
            try:
                r = rpc(port, "TSDOM.AddChildNew", {"i_lTreeType": 1, "i_lID": 7, "i_lCurrentNodeID": 0, "i_lRepType": 1, "i_sSDesc": txt, "i_sLDesc": "", "i_sVisibilities": ";1;", "i_sFAQs": ";", "i_lHyperlinkNodeID": -1, "i_sUserId": "ann"})
            except Exception as e:
                with lock: unanswered.append((txt, type(e).__name__))
                return
            with lock:
                if "error" in r: errs.append(r["error"]["message"][:200])
                else: done.append((r["result"], txt))
    ts = [threading.Thread(target=w, args=(t,)) for t in range(12)]
    for t in ts: t.start()
    go.set(); time.sleep(random.uniform(0.2, 1.0))
    srv.send_signal(signal.SIGTERM); rc = srv.wait(timeout=60)
    for t in ts: t.join()
    leftovers = subprocess.run(["find", DATA, "-name", "*.tsa-tmp-*"], capture_output=True, text=True).stdout.split()
    chk = subprocess.run([CHECK, DATA], env=env, capture_output=True, text=True)
    srv = start(port)
    with urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/trees/1/7/document?user=ann", headers=AUTH), timeout=30) as r:
        got = {int(e.get("NID")): e.find("sd").text for e in ET.fromstring(r.read()).iter("Node")}
    lost = [(n, t) for n, t in done if got.get(n) != t]
    texts = set(got.values()); half = [u for u, _ in unanswered if u in texts]
    ok = rc == 0 and not lost and not errs and chk.returncode == 0 and not leftovers
    bad += not ok
    print(f"round {rnd}: exit {rc}, answered {len(done)}, errors {len(errs)}, unanswered {len(unanswered)} ({set(k for _, k in unanswered)}), of which applied {len(half)}, lost {len(lost)}, temporaries after stop {len(leftovers)}, {chk.stdout.strip().splitlines()[-1]}", flush=True)
    for e in errs[:3]: print("  error:", e)
srv.send_signal(signal.SIGTERM); srv.wait()
sys.exit(1 if bad else 0)
