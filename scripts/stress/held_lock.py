"""What a write lock held by another process does to a tsauthor service on
SQLite: calls that write, and one that needs no database.

  held_lock.py TSAUTHOR DATA_DIR CATALOG [WRITERS] [HOLD_SECONDS]

Another process (this script) takes the service database's write lock and
holds it HOLD_SECONDS (default 30). Meanwhile WRITERS (default 16) clients
each make one call that writes (Tree.CheckOut), and after half a second one
client calls TSDOM.AppendVisibilityInOrder, which needs no database.
Reported: how long that call took, and the writers' answers and times.
"""
import json, os, sqlite3, sys, threading, time, urllib.error, urllib.request

from service import Service

BIN, DATA, CATALOG = sys.argv[1], sys.argv[2], sys.argv[3]
WRITERS = int(sys.argv[4]) if len(sys.argv) > 4 else 16
HOLD = float(sys.argv[5]) if len(sys.argv) > 5 else 30


def rpc(port, method, params, timeout=120):
    """The call's HTTP status, its error code if any, and how long it took."""
    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": method, "params": params}).encode()
    req = urllib.request.Request(f"http://127.0.0.1:{port}/rpc", body, {"Content-Type": "application/json", **svc.auth})
    t = time.time()
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            status, answer = r.status, json.loads(r.read())
    except urllib.error.HTTPError as e:
        status, answer = e.code, json.loads(e.read() or b"{}")
    except Exception:
        status, answer = "timeout", {}
    code = answer.get("error", {}).get("code") if isinstance(answer, dict) else None
    return status, code, round(time.time() - t, 2)


svc = Service(BIN, DATA, CATALOG).start()
port = svc.port
svc.rpc("TSDOM.CreateEmptyTree", {"i_lTreeType": 1, "i_lID": 7})

holder = sqlite3.connect(os.path.join(DATA, "helvix.db"), isolation_level=None)
holder.execute("BEGIN IMMEDIATE")
started = time.time()
writes = []
threads = [threading.Thread(target=lambda: writes.append(rpc(port, "Tree.CheckOut", [1, 7, "", ""])))
           for _ in range(WRITERS)]
for t in threads: t.start()
time.sleep(0.5)
free_call = rpc(port, "TSDOM.AppendVisibilityInOrder", {"sTempArr": ";1;", "sVisibility": "2"})
time.sleep(max(0, HOLD - (time.time() - started)))
holder.execute("ROLLBACK")
for t in threads: t.join()
svc.stop()
statuses = {}
for status, code, _ in writes:
    key = f"{status}/{code}"
    statuses[key] = statuses.get(key, 0) + 1
print(json.dumps({"writers": WRITERS, "hold_s": HOLD, "no_database_call_s": free_call[2],
                  "no_database_call_status": free_call[0], "writes_by_status_code": statuses,
                  "slowest_write_s": max(w[2] for w in writes)}))
