"""Resident memory of a tsauthor service while many clients read one large
document slowly, and after they have gone.

  slow_reader_memory.py TSAUTHOR DATA_DIR CATALOG [READERS] [SECONDS] [gzip]

Builds a published tree of about 9 MB (100 categories with a long
description each), then opens READERS (default 250) connections that each
ask for the document and read it at 1 KB/s for SECONDS (default 20), from
127.0.0.2. The service's resident memory (VmRSS) is sampled all along and
reported: before the readers, the peak while they read, and 5 s after they
closed their connections. "gzip" asks for the compressed form instead.
"""
import json, os, selectors, socket, sys, time, urllib.request

from service import Service, rss_mb

BIN, DATA, CATALOG = sys.argv[1], sys.argv[2], sys.argv[3]
READERS = int(sys.argv[4]) if len(sys.argv) > 4 else 250
SECONDS = float(sys.argv[5]) if len(sys.argv) > 5 else 20
GZIP = len(sys.argv) > 6 and sys.argv[6] == "gzip"

svc = Service(BIN, DATA, CATALOG).start()
port, TOKEN, AUTH, rpc = svc.port, svc.token, svc.auth, svc.rpc

rpc("TSDOM.CreateEmptyTree", {"i_lTreeType": 1, "i_lID": 7})
rpc("TSDOM.CheckOut", {"i_lTreeType": 1, "i_lID": 7, "o_sOwner": ""})
words = "paper tray toner fuser drum roller sensor cover door cable".split()
for i in range(100):
    ld = " ".join(words[(i * 7 + k) % len(words)] + str(k) for k in range(13000))[:90000]
    rpc("TSDOM.AddChildNew", {"i_lTreeType": 1, "i_lID": 7, "i_lCurrentNodeID": 0, "i_lRepType": 1,
                                    "i_sSDesc": f"Category {i}", "i_sLDesc": ld, "i_sVisibilities": ";1;",
                                    "i_sFAQs": ";", "i_lHyperlinkNodeID": -1})
rpc("TSDOM.Publish", {"i_lTreeType": 1, "i_lID": 7})
path = "/trees/1/7/document?user=bob"
headers = {**AUTH, **({"Accept-Encoding": "gzip"} if GZIP else {})}
with urllib.request.urlopen(urllib.request.Request(f"http://127.0.0.1:{port}{path}", headers=headers), timeout=60) as r:
    size = len(r.read())
time.sleep(1)
before = rss_mb(svc.process.pid)

request = (f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer {TOKEN}\r\n"
           + ("Accept-Encoding: gzip\r\n" if GZIP else "") + "\r\n").encode()
sel = selectors.DefaultSelector()
readers = []
for _ in range(READERS):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.bind(("127.0.0.2", 0))
    s.connect(("127.0.0.1", port))
    s.sendall(request)
    s.setblocking(False)
    readers.append(s)
first = {}
peak, start, last_read = before, time.time(), 0.0
while time.time() - start < SECONDS:
    if time.time() - last_read >= 1:
        last_read = time.time()
        for s in readers:
            try:
                chunk = s.recv(1024)
                first.setdefault(s.fileno(), chunk)
            except (BlockingIOError, ConnectionError):
                pass
    peak = max(peak, rss_mb(svc.process.pid))
    time.sleep(0.1)
answered = sum(1 for chunk in first.values() if chunk.startswith(b"HTTP/1.1 200"))
for s in readers: s.close()
time.sleep(5)
after = rss_mb(svc.process.pid)
svc.stop()
print(json.dumps({"document_bytes": size, "gzip": GZIP, "readers": READERS, "answered_200": answered, "rss_before_mb": round(before),
                  "rss_peak_mb": round(peak), "rss_after_mb": round(after)}))
