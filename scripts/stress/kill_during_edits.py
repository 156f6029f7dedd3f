#!/usr/bin/env python3
"""Kills a tsauthor service with SIGKILL at random moments during a stream of
edits (AddChildNew, SaveNode, MoveNode, DeleteNode, Publish) and checks after
every restart that the rows and the documents agree and that no answered
call was lost (the call in flight may be in or out, not half).

  kill_during_edits.py TSAUTHOR CHECKER DATA_DIR ROUNDS CATALOG

TSAUTHOR_HELVIX_URI / TSAUTHOR_KCATALOG_URI in the environment select
PostgreSQL; CHECKER is tsa_check_consistency."""
import json, os, random, signal, subprocess, sys, threading, time, urllib.request, socket
import xml.etree.ElementTree as ET

BIN, CHECK, DATA, ROUNDS = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
TOKEN = os.urandom(16).hex()  # the service token: every request but /health needs an identity
env = dict(os.environ, TSAUTHOR_DATA_DIR=DATA, TSAUTHOR_TOKEN=TOKEN)
AUTH = {"Authorization": "Bearer " + TOKEN}
TREE = 7
RIDS = {}

def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p

def rpc(port, method, params, timeout=30):
    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": method, "params": params}).encode()
    req = urllib.request.Request(f"http://127.0.0.1:{port}/rpc", body, {"Content-Type": "application/json", **AUTH})
    with urllib.request.urlopen(req, timeout=timeout) as r:
        return json.loads(r.read())

def doc(port, user="ann"):
    with urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}/trees/1/{TREE}/document?user={user}", headers=AUTH), timeout=30) as r:
        root = ET.fromstring(r.read())
    nodes = {}
    def walk(e, parent):
        nid = int(e.get("NID")); sd = e.find("sd")
        nodes[nid] = (parent, (sd.text or "") if sd is not None else "", int(e.get("RTP")))
        RIDS[nid] = int(e.get("RID"))
        for c in e.findall("Node"): walk(c, nid)
    walk(root, -1)
    return nodes

def start(port):
    p = subprocess.Popen([BIN, "serve"], env=dict(env, TSAUTHOR_PORT=str(port)),
                         stdout=subprocess.DEVNULL, stderr=open(DATA + "/serve.err", "a"))
    for _ in range(300):
        try:
            urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=1); return p
        except Exception:
            time.sleep(0.05)
    raise SystemExit("server did not start")

def subtree(nodes, nid):
    out = {nid}; changed = True
    while changed:
        changed = False
        for n, (p, _, _) in nodes.items():
            if p in out and n not in out: out.add(n); changed = True
    return out

subprocess.run([BIN, "init"], env=env, check=True, stdout=subprocess.DEVNULL)
subprocess.run([BIN, "catalog", "load", sys.argv[5]], env=env, check=True, stdout=subprocess.DEVNULL)
port = free_port(); srv = start(port)
rpc(port, "TSDOM.CreateEmptyTree", {"i_lTreeType": 1, "i_lID": TREE})
failures = 0; answered_total = 0
for rnd in range(ROUNDS):
    rpc(port, "TSDOM.CheckOut", {"i_lTreeType": 1, "i_lID": TREE, "i_sUserId": "ann", "o_sOwner": ""})
    model = doc(port)
    state = {"model": model, "inflight": None, "answered": 0}
    stop = threading.Event()
    def drive():
        rng = random.Random()
        while not stop.is_set():
            m = state["model"]
            nonroot = [n for n in m if n != 0]
            k = rng.random()
            if k < 0.4 or not nonroot:
                parents = [n for n, v in m.items() if v[2] in (0, 1)]
                par = rng.choice(parents); rt = 1 if m[par][2] == 0 else 2
                op = ("add", par, rt)
                params = {"i_lTreeType": 1, "i_lID": TREE, "i_lCurrentNodeID": par, "i_lRepType": rt,
                          "i_sSDesc": "n%d" % rng.randrange(10**9), "i_sLDesc": "", "i_sVisibilities": ";1;",
                          "i_sFAQs": ";", "i_lHyperlinkNodeID": -1, "i_sUserId": "ann"}
                meth = "TSDOM.AddChildNew"
            elif k < 0.65:
                n = rng.choice(nonroot); txt = "s%d" % rng.randrange(10**9)
                if n not in RIDS:
                    try: doc(port)
                    except Exception: return
                op = ("save", n, txt); meth = "TSDOM.SaveNode"
                params = {"i_lTreeType": 1, "i_lID": TREE, "i_lNodeID": n, "i_lRepID": RIDS.get(n, 0), "i_sSDesc": txt,
                          "i_sLDesc": "", "i_bPropogateContent": False, "i_sVisibilities": ";1;",
                          "i_bPropogateVisibDown": False, "i_sFAQs": ";", "i_lHyperlinkNodeID": -1, "i_sUserId": "ann"}
            elif k < 0.8:
                n = rng.choice(nonroot); op = ("move", n); meth = "TSDOM.MoveNode"
                params = {"i_lTreeType": 1, "i_lID": TREE, "i_lNodeID": n, "i_lDirection": rng.choice([-1, 1]), "i_sUserId": "ann"}
            elif k < 0.93 and len(nonroot) > 3:
                n = rng.choice(nonroot); op = ("delete", n); meth = "TSDOM.DeleteNode"
                params = {"i_lTreeType": 1, "i_lID": TREE, "i_lNodeID": n, "i_sUserId": "ann"}
            else:
                op = ("publish",); meth = "TSDOM.Publish"; params = {"i_lTreeType": 1, "i_lID": TREE}
            state["inflight"] = op
            try:
                res = rpc(port, meth, params)
            except Exception:
                return  # no answer: the server died
            state["inflight"] = None; state["answered"] += 1
            if "error" in res:
                if op[0] == "add" and res["error"]["code"] == 1005: continue
                print("unexpected error", op, res["error"]["code"], res["error"]["message"][:200]); continue
            m = dict(m)
            if op[0] == "add":
                m[res["result"]] = (op[1], params["i_sSDesc"], op[2]); RIDS.pop(res["result"], None)
            elif op[0] == "save":
                m[op[1]] = (m[op[1]][0], op[2], m[op[1]][2]); RIDS.pop(op[1], None)
            elif op[0] == "delete":
                for x in subtree(m, op[1]): del m[x]; RIDS.pop(x, None)
            state["model"] = m
            if op[0] == "publish":
                try:
                    rpc(port, "TSDOM.CheckOut", {"i_lTreeType": 1, "i_lID": TREE, "i_sUserId": "ann", "o_sOwner": ""})
                except Exception:
                    return  # the server died; the next round checks the tree out again
    t = threading.Thread(target=drive); t.start()
    time.sleep(random.uniform(0.1, 1.2))
    os.kill(srv.pid, signal.SIGKILL); srv.wait(); stop.set(); t.join()
    answered_total += state["answered"]
    srv = start(port)  # recovery runs at start-up
    actual = doc(port)
    before = state["model"]; op = state["inflight"]
    ok = actual == before
    if not ok and op:
        if op[0] == "add":
            extra = set(actual) - set(before)
            ok = set(before) <= set(actual) and len(extra) == 1 and all(actual[n] == before[n] for n in before)
        elif op[0] == "save":
            ok = set(actual) == set(before) and all(actual[n] == before[n] for n in before if n != op[1]) and actual[op[1]][1] == op[2]
        elif op[0] == "delete":
            gone = subtree(before, op[1])
            ok = set(actual) == set(before) - gone and all(actual[n] == before[n] for n in actual)
    chk = subprocess.run([CHECK, DATA], env=env, capture_output=True, text=True)
    status = "ok" if ok and chk.returncode == 0 else "FAIL"
    if status == "FAIL":
        failures += 1
        print("model diff:", {n: (before.get(n), actual.get(n)) for n in set(before) | set(actual) if before.get(n) != actual.get(n)})
    print(f"round {rnd}: answered {state['answered']}, in flight {op}, nodes {len(actual)}, model {'ok' if ok else 'DIFFERS'}; {chk.stdout.strip().splitlines()[-1] if chk.stdout else chk.stderr.strip()}", flush=True)
    if chk.returncode != 0: print(chk.stdout[-3000:])
srv.send_signal(signal.SIGTERM); srv.wait()
print(f"{ROUNDS} rounds, {answered_total} answered calls, {failures} failures")
sys.exit(1 if failures else 0)
