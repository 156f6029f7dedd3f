"""Floods POST /auth/login with wrong passwords and measures what it costs
the service database and an author working meanwhile.

  signin_flood.py TSAUTHOR DATA_DIR CATALOG [SECONDS] [CLIENTS] [RATE]

First an author (through the service token, acting for ann) adds nodes with
TSDOM.AddChildNew for SECONDS (default 10) alone; then the same while
CLIENTS (default 4) processes post wrong passwords for ann as fast as the
service answers (or, with RATE, at most RATE requests a second together, to
compare builds at one load), each on a new connection from 127.0.0.1. Reported: the
sign-in answers by status, the audit rows the flood added to the
service database (SQLite) with the bytes of their texts, and the author's
AddChildNew p50/p99/max alone and under the flood. No pass or fail: the
figures are for the reader.
"""
import collections, http.client, json, multiprocessing, os, sqlite3, sys, time

from service import Service

BIN, DATA, CATALOG = sys.argv[1], sys.argv[2], sys.argv[3]
SECONDS = float(sys.argv[4]) if len(sys.argv) > 4 else 10
CLIENTS = int(sys.argv[5]) if len(sys.argv) > 5 else 4
RATE = float(sys.argv[6]) if len(sys.argv) > 6 else 0



def flood(port, seconds, counts):
    body = json.dumps({"login": "ann", "password": "not her password"})
    start = time.monotonic()
    end = start + seconds
    local = collections.Counter()
    while time.monotonic() < end:
        if RATE > 0:
            due = start + sum(local.values()) * CLIENTS / RATE
            wait = due - time.monotonic()
            if wait > 0: time.sleep(wait)
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        try:
            c.request("POST", "/auth/login", body, {"Content-Type": "application/json"})
            local[c.getresponse().status] += 1
        except Exception as e:
            local[type(e).__name__] += 1
        finally:
            c.close()
    counts.put(dict(local))


def author(port, seconds):
    took = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t = time.monotonic()
        rpc("TSDOM.AddChildNew", {"i_lTreeType": 1, "i_lID": 7, "i_lCurrentNodeID": 0, "i_lRepType": 1,
                                        "i_sSDesc": "Category", "i_sLDesc": "", "i_sVisibilities": ";1;",
                                        "i_sFAQs": ";", "i_lHyperlinkNodeID": -1, "i_sUserId": "ann"})
        took.append((time.monotonic() - t) * 1000)
    return took


def pct(v, q):
    v = sorted(v); return v[min(len(v) - 1, int(q * len(v)))] if v else float("nan")


def audit_rows():
    """The Auth.SignIn rows and the bytes of their texts."""
    path = [f for f in os.listdir(DATA) if f.startswith("helvix") and f.endswith(".db")]
    if not path: return -1, -1
    with sqlite3.connect(f"file:{os.path.join(DATA, path[0])}?mode=ro", uri=True) as db:
        return db.execute("SELECT COUNT(*), COALESCE(SUM(LENGTH(AT) + LENGTH(LOGIN) + LENGTH(METHOD) + LENGTH(OUTCOME)"
                          " + COALESCE(LENGTH(ARGS), 0) + COALESCE(LENGTH(DETAIL), 0)), 0) FROM AUDIT"
                          " WHERE METHOD = 'Auth.SignIn'").fetchone()


svc = Service(BIN, DATA, CATALOG)
svc.command("user", "add", "ann", "--role", "author", "--password-stdin", stdin=b"correct horse battery\n")
svc.start()
port, rpc = svc.port, svc.rpc
rpc("TSDOM.CreateEmptyTree", {"i_lTreeType": 1, "i_lID": 7})
rpc("TSDOM.CheckOut", {"i_lTreeType": 1, "i_lID": 7, "i_sUserId": "ann", "o_sOwner": ""})

author(port, 2)  # warm-up: caches, the first checkpoints
alone = author(port, SECONDS)
rows0, text0 = audit_rows()
queue = multiprocessing.Queue()
procs = [multiprocessing.Process(target=flood, args=(port, SECONDS, queue)) for _ in range(CLIENTS)]
for p in procs: p.start()
flooded = author(port, SECONDS)
counts = collections.Counter()
for _ in procs: counts.update(queue.get())
for p in procs: p.join()
counts = dict(counts)
# The service writes counted failures at the latest when it stops.
svc.stop()
rows1, text1 = audit_rows()
print(f"sign-in answers in {SECONDS:.0f} s from {CLIENTS} clients: {counts}")
print(f"audit rows of Auth.SignIn added: {rows1 - rows0} ({text1 - text0:,} bytes of text)")
for name, v in (("alone", alone), ("under the flood", flooded)):
    print(f"AddChildNew {name}: {len(v)} calls, p50 {pct(v, .5):.1f} ms, p99 {pct(v, .99):.1f} ms, max {max(v):.1f} ms")
