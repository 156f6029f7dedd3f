"""What one address holding many stalled connections leaves another client
of the same address.

  held_connections.py TSAUTHOR DATA_DIR [HELD] [REQUESTS]

From 127.0.0.2, HELD (default 300) connections send half a request head and
nothing more; each one the service closes or refuses is opened again at
once. Meanwhile a client that signs in (the service token) makes REQUESTS
(default 200) small JSON-RPC calls from the same address, each on a new
connection, and one from 127.0.0.3 asks for /health as often. Reported: the
share of each client's requests refused (503) or failed, and the latencies.
"""
import json, multiprocessing, selectors, socket, sys, time

from service import Service

BIN, DATA = sys.argv[1], sys.argv[2]
HELD = int(sys.argv[3]) if len(sys.argv) > 3 else 300
REQUESTS = int(sys.argv[4]) if len(sys.argv) > 4 else 200


def hold(port, stop, ready):
    sel = selectors.DefaultSelector()
    def open_one():
        s = socket.socket()
        s.bind(("127.0.0.2", 0))
        try:
            s.connect(("127.0.0.1", port))
            s.sendall(b"GET /health HTTP/1.1\r\nHost: 127.0")
        except OSError:
            s.close(); return
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
    for _ in range(HELD): open_one()
    ready.set()
    while not stop.is_set():
        for key, _ in sel.select(timeout=0.05):
            s = key.fileobj
            try:
                data = s.recv(65536)
            except OSError:
                data = b""
            if not data:
                sel.unregister(s); s.close(); open_one()


def ask(port, source, request):
    t = time.time()
    s = socket.socket()
    s.settimeout(30)
    try:
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(request)
        answer = b""
        while b"\r\n" not in answer:
            chunk = s.recv(4096)
            if not chunk: break
            answer += chunk
        status = answer.split(b" ")[1].decode() if answer.startswith(b"HTTP/") else "none"
    except OSError:
        status = "error"
    finally:
        s.close()
    return status, (time.time() - t) * 1000


def summary(results):
    statuses = [r[0] for r in results]
    ms = sorted(r[1] for r in results)
    return {"requests": len(results), "ok": statuses.count("200"), "refused_503": statuses.count("503"),
            "failed": len(results) - statuses.count("200") - statuses.count("503"),
            "refused_share": round(100 * (len(results) - statuses.count("200")) / len(results), 1),
            "p50_ms": round(ms[len(ms) // 2], 1), "p99_ms": round(ms[int(len(ms) * 0.99) - 1], 1)}


svc = Service(BIN, DATA).start()
port, TOKEN = svc.port, svc.token

stop, ready = multiprocessing.Event(), multiprocessing.Event()
holder = multiprocessing.Process(target=hold, args=(port, stop, ready), daemon=True)
holder.start()
ready.wait(60)
time.sleep(1)
body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "TSDOM.AppendVisibilityInOrder",
                   "params": {"sTempArr": ";1;", "sVisibility": "2"}}).encode()
signed_in = (f"POST /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer {TOKEN}\r\n"
             f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode() + body
health = b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
same, other = [], []
for _ in range(REQUESTS):
    same.append(ask(port, "127.0.0.2", signed_in))
    other.append(ask(port, "127.0.0.3", health))
    time.sleep(0.01)
stop.set()
holder.join(10)
svc.stop()
print(json.dumps({"held": HELD, "signed_in_same_address": summary(same), "health_other_address": summary(other)}))
