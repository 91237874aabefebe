#!/usr/bin/env python3
"""Stand-in for a Sentera camera's HTTP interface, for the tests.

Usage: fake_sentera.py DIR

Listens on 127.0.0.1 on a free port and writes the port number to DIR/port. Replies come
from DIR/routes.json, read at every request: an object whose keys are "METHOD PATH" (PATH
with its query, exactly as requested) and whose values are a reply or a list of replies,
used in turn, the last one repeated. A reply is a text (sent with status 200) or an object
with "body" (text), "status" (number), "location" (a redirect target) and "hang" (seconds
to wait before closing without a reply). A request without a route gets 404.

Every request is appended to DIR/requests.log as one JSON line with method, path, headers
and body, before it is answered.
"""

import json
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

control_dir = sys.argv[1]
served = {}  # route key -> replies used so far
lock = threading.Lock()


def load_routes():
    try:
        with open(os.path.join(control_dir, "routes.json"), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return {}


class Camera(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        key = self.command + " " + self.path
        with lock:
            record = {"method": self.command, "path": self.path,
                      "headers": {k: v for k, v in self.headers.items()}, "body": body}
            with open(os.path.join(control_dir, "requests.log"), "a", encoding="utf-8") as log:
                log.write(json.dumps(record) + "\n")
            replies = load_routes().get(key)
            if isinstance(replies, list):
                n = served.get(key, 0)
                served[key] = n + 1
                reply = replies[min(n, len(replies) - 1)] if replies else None
            else:
                reply = replies
        if reply is None:
            reply = {"status": 404, "body": "no such page"}
        if isinstance(reply, str):
            reply = {"body": reply}
        if "hang" in reply:
            time.sleep(reply["hang"])
            self.close_connection = True
            return
        data = reply.get("body", "").encode("utf-8")
        self.send_response(reply.get("status", 200))
        if "location" in reply:
            self.send_header("Location", reply["location"])
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    do_GET = handle_any
    do_PUT = handle_any
    do_POST = handle_any


server = ThreadingHTTPServer(("127.0.0.1", 0), Camera)
server.daemon_threads = True
port_file = os.path.join(control_dir, "port")
with open(port_file + ".tmp", "w", encoding="utf-8") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
