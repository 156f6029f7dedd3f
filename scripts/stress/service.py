"""What the load scripts share: a data folder made ready, a service started
on a free port with a service token of its own, and calls to it."""
import json, os, socket, subprocess, time, urllib.request


def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p


def rss_mb(pid):
    """The resident memory of a process, in MB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"): return int(line.split()[1]) / 1024
    return 0.0


class Service:
    """`tsauthor init` (and `catalog load` with a catalog) on DATA; start()
    then serves it on a free port until stop()."""

    def __init__(self, binary, data, catalog=None):
        self.binary, self.data = binary, data
        self.token = os.urandom(16).hex()
        self.auth = {"Authorization": "Bearer " + self.token}
        self.env = dict(os.environ, TSAUTHOR_DATA_DIR=data, TSAUTHOR_TOKEN=self.token)
        self.port, self.process = None, None
        self.command("init")
        if catalog: self.command("catalog", "load", catalog)

    def command(self, *args, stdin=None):
        subprocess.run([self.binary, *args], env=self.env, check=True, input=stdin, stdout=subprocess.DEVNULL)

    def start(self):
        self.port = free_port()
        self.process = subprocess.Popen([self.binary, "serve"], env=dict(self.env, TSAUTHOR_PORT=str(self.port)),
                                        stdout=subprocess.DEVNULL,
                                        stderr=open(os.path.join(self.data, "serve.err"), "a"))
        for _ in range(300):
            try:
                urllib.request.urlopen(f"http://127.0.0.1:{self.port}/health/live", timeout=1); return self
            except Exception:
                time.sleep(0.05)
        raise SystemExit("the service did not start: see " + os.path.join(self.data, "serve.err"))

    def stop(self):
        """SIGTERM, then waits: the service writes what it keeps in memory."""
        self.process.terminate(); self.process.wait(timeout=60)

    def rpc(self, method, params, timeout=120):
        """One call as the service token; its result, or the script ends with its error."""
        body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": method, "params": params}).encode()
        req = urllib.request.Request(f"http://127.0.0.1:{self.port}/rpc", body,
                                     {"Content-Type": "application/json", **self.auth})
        with urllib.request.urlopen(req, timeout=timeout) as r:
            answer = json.loads(r.read())
        if "error" in answer: raise SystemExit(f"{method} failed: " + answer["error"]["message"][:300])
        return answer["result"]
