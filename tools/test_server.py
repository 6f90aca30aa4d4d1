#!/usr/bin/env python3
"""Test update server: serves a directory over HTTP/1.1 on 127.0.0.1 with byte
ranges, and misbehaves per path as told by a rules file.

File names are looked up on disk with the bytes of the request path, and the
path must be text in the one encoding the server is started with
(--path-encoding, UTF-8 unless told): a server with GBK names on disk is run
with --path-encoding gbk. A path in another encoding is answered 404.

The rules file (JSON, re-read on every request) maps a request path (after
percent-decoding; with its query when a rule names one, else without) to a
rule, for example {"/update/a.bin": "ignore-range"}.
Rules:
  serve               no misbehaviour
  ignore-range        answer 200 with the whole file even to a Range request
  close-mid-body      send half the body, then close
  stall               send the header and part of the body, then nothing
  stall-header        accept the request and never answer
  short-length        announce one byte less than the body (and send that many)
  long-length         announce ten bytes more than the body, send it, close
  no-length           no Content-Length; close after the body
  chunked             Transfer-Encoding: chunked, chunks of varying size
  lowercase-headers   header names in lower case
  huge-header         a header of more than 64 KiB
  wrong-range         answer a Range request with bytes from another start
  redirect:LOCATION   302 with this Location (a path, a full URL, a relative one)
  redirect-N:LOCATION the same with status N (301, 303, 307, 308)
  length:VALUE        the Content-Length line carries VALUE as it stands
  lengths:A|B         two Content-Length lines, A and B
  endless-trailers    a chunked body whose trailer lines never end
  bare-lf             header lines end in LF alone
  interim             100 Continue and 103 Early Hints before the response
  lone-cr             a header line holds a CR not followed by LF
  status:N            answer with status N and a short body
  late-status:N       the same, one second late (after quicker answers)
  trickle             send the body 512 bytes every 20 ms
  drip                send the body one byte every 100 ms
  partial:K           send the first K bytes of each body, then nothing
  hold-from:N         never send the file's bytes from offset N on: a body
                      (whole or a range) stops there and nothing follows;
                      a range that ends before N is served as usual
  slow-range:N        a Range request from byte N gets its body 1 KiB every 20 ms;
                      other requests are served at once
  etag:VALUE          the file's ETag is "VALUE" (else one made from its bytes)
  close-after         answer with Connection: close, then close: requests sent
                      behind this one on the connection go unanswered
  http10              answer as HTTP/1.0, which ends the connection
  hang-up-once        the first request for the path gets its connection closed
                      without an answer; later ones are served
  half-header-once    the same, after the first half of the answer's header
A Range request with an If-Range that is not the file's ETag gets the whole
file with 200.
Each request is appended to the log file as one JSON line:
{"path": ..., "headers": {...}, "raw": ..., "client_port": ..., "open": ...}; the
client's port tells the connections apart, "open" counts the connections open
then (one the server ends stops counting before its last answer goes out).
"""
import argparse
import hashlib
import json
import os
import socket
import socketserver
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler

ARGS = None
LOG_LOCK = threading.Lock()
HUNG_UP = set()
OPEN = [0]


def load_rules():
    try:
        with open(ARGS.rules, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        with LOG_LOCK:
            OPEN[0] += 1
        self.counted = True

    def uncount(self):
        with LOG_LOCK:
            if self.counted:
                OPEN[0] -= 1
            self.counted = False

    def finish(self):
        self.uncount()
        super().finish()

    def log_message(self, fmt, *args):
        pass

    def send_raw(self, status, headers, body=b"", lower=False, reason=None, eol="\r\n", version="HTTP/1.1"):
        reason = reason or {200: "OK", 206: "Partial Content", 302: "Found",
                            404: "Not Found", 500: "Internal Server Error"}.get(status, "Status")
        lines = ["%s %d %s" % (version, status, reason)]
        for name, value in headers:
            lines.append("%s: %s" % (name.lower() if lower else name, value))
        self.wfile.write((eol.join(lines) + eol + eol).encode("latin-1") + body)
        self.wfile.flush()

    def do_GET(self):
        raw_path = self.path
        target, _, query = raw_path.partition("?")
        raw = urllib.parse.unquote_to_bytes(target)
        try:
            path = raw.decode(ARGS.path_encoding)
            readable = True
        except UnicodeDecodeError:
            path = raw.decode("latin-1")
            readable = False
        if ARGS.log:
            entry = {"path": path, "raw_path": raw_path,
                     "headers": {k: v for k, v in self.headers.items()},
                     "request_line": self.requestline, "client_port": self.client_address[1]}
            with LOG_LOCK, open(ARGS.log, "a", encoding="utf-8") as f:
                entry["open"] = OPEN[0]
                f.write(json.dumps(entry, ensure_ascii=False) + "\n")
        rules = load_rules()
        rule = rules.get(path + "?" + query, rules.get(path, "")) if query else rules.get(path, "")
        if rule in ("hang-up-once", "half-header-once"):
            with LOG_LOCK:
                first = path not in HUNG_UP
                HUNG_UP.add(path)
            if first:
                if rule == "half-header-once":
                    self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-")
                    self.wfile.flush()
                self.close_connection = True
                return
        if rule == "stall-header":
            time.sleep(3600)
            return
        if rule.startswith("redirect"):
            kind, _, location = rule.partition(":")
            status = int(kind[len("redirect-"):]) if kind.startswith("redirect-") else 302
            self.send_raw(status, [("Location", location), ("Content-Length", "5")], b"moved")
            return
        if rule.startswith("late-status:"):
            time.sleep(1)
            rule = rule[len("late-"):]
        if rule.startswith("status:"):
            code = int(rule[len("status:"):])
            self.send_raw(code, [("Content-Length", "4")], b"oops")
            return
        parts = raw.lstrip(b"/").split(b"/")
        local = os.path.join(os.fsencode(ARGS.root), *parts)
        try:
            if not readable or b".." in parts:
                raise OSError("not a name of this server")
            with open(local, "rb") as f:
                data = f.read()
        except OSError:
            self.send_raw(404, [("Content-Length", "9")], b"not found")
            return
        status, body, extra, first = 200, data, [], 0
        etag = '"%s"' % (rule[len("etag:"):] if rule.startswith("etag:") else hashlib.md5(data).hexdigest()[:16])
        rng = self.headers.get("Range")
        if_range = self.headers.get("If-Range")
        if if_range is not None and if_range != etag:
            rng = None
        if rng and rule != "ignore-range" and rng.startswith("bytes="):
            first, _, last = rng[6:].partition("-")
            first = int(first)
            last = min(int(last) if last else len(data) - 1, len(data) - 1)
            if first > last:
                self.send_raw(416, [("Content-Length", "0")])
                return
            shift = 1 if rule == "wrong-range" and first + 1 <= last else 0
            body = data[first + shift:last + 1 + shift]
            status = 206
            extra = [("Content-Range", "bytes %d-%d/%d" % (first + shift, last + shift, len(data)))]
        headers = [("Content-Type", "application/octet-stream"), ("ETag", etag)] + extra
        if rule == "huge-header":
            headers += [("X-Padding-%d" % i, "p" * 4000) for i in range(17)]
        if rule == "endless-trailers":
            self.send_raw(status, headers + [("Transfer-Encoding", "chunked")])
            self.wfile.write(b"%x\r\n" % len(body) + body + b"\r\n0\r\n")
            for _ in range(100000):
                self.wfile.write(b"X-Trailer: more\r\n")
            self.wfile.flush()
            time.sleep(3600)
            return
        if rule == "bare-lf":
            self.send_raw(status, headers + [("Content-Length", str(len(body)))], body, eol="\n")
            return
        if rule == "interim":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n"
                             b"HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n")
            self.send_raw(status, headers + [("Content-Length", str(len(body)))], body)
            return
        if rule == "lone-cr":
            self.send_raw(status, headers + [("X-Odd", "a\rb"), ("Content-Length", str(len(body)))], body)
            return
        if rule.startswith("length:"):
            self.send_raw(status, headers + [("Content-Length", rule[len("length:"):])], body)
            return
        if rule.startswith("lengths:"):
            first, _, second = rule[len("lengths:"):].partition("|")
            self.send_raw(status, headers + [("Content-Length", first), ("Content-Length", second)], body)
            return
        if rule == "chunked":
            self.send_raw(status, headers + [("Transfer-Encoding", "chunked")])
            pos, size = 0, 1
            while pos < len(body):
                piece = body[pos:pos + size]
                self.wfile.write(b"%x;ext=1\r\n" % len(piece) + piece + b"\r\n")
                pos += len(piece)
                size = size * 3 + 7
            self.wfile.write(b"0\r\nX-Trailer: yes\r\n\r\n")
            self.wfile.flush()
            return
        if rule == "no-length":
            self.send_raw(status, headers + [("Connection", "close")], body)
            self.close_connection = True
            return
        length = len(body)
        if rule == "short-length":
            length, body = len(body) - 1, body[:-1]
        elif rule == "long-length":
            length = len(body) + 10
        headers.append(("Content-Length", str(length)))
        if rule in ("close-after", "http10"):
            self.uncount()
            self.send_raw(status, headers + ([("Connection", "close")] if rule == "close-after" else []), body,
                          version="HTTP/1.0" if rule == "http10" else "HTTP/1.1")
            self.close_connection = True
            return
        if rule == "close-mid-body":
            self.send_raw(status, headers, body[:len(body) // 2])
            self.close_connection = True
            return
        if rule.startswith("partial:"):
            self.send_raw(status, headers, body[:int(rule[len("partial:"):])])
            time.sleep(3600)
            return
        held = int(rule[len("hold-from:"):]) - first if rule.startswith("hold-from:") else len(body)
        if held < len(body):
            self.send_raw(status, headers, body[:max(0, held)])
            time.sleep(3600)
            return
        if rule == "stall":
            self.send_raw(status, headers, body[:len(body) // 3])
            time.sleep(3600)
            return
        if rule == "drip":
            self.send_raw(status, headers)
            for pos in range(len(body)):
                self.wfile.write(body[pos:pos + 1])
                self.wfile.flush()
                time.sleep(0.1)
            return
        if rule.startswith("slow-range:"):
            if status == 206 and rng[6:].partition("-")[0] == rule[len("slow-range:"):]:
                self.send_raw(status, headers)
                for pos in range(0, len(body), 1024):
                    self.wfile.write(body[pos:pos + 1024])
                    self.wfile.flush()
                    time.sleep(0.02)
                return
        if rule == "trickle":
            self.send_raw(status, headers, lower=False)
            for pos in range(0, len(body), 512):
                self.wfile.write(body[pos:pos + 512])
                self.wfile.flush()
                time.sleep(0.02)
            return
        self.send_raw(status, headers, body, lower=(rule == "lowercase-headers"))
        if rule == "long-length":
            self.close_connection = True


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # clients that hang up early are part of the tests


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--rules", default="/nonexistent")
    parser.add_argument("--log")
    parser.add_argument("--path-encoding", default="utf-8",
                        help="the one encoding of request paths and of the names on disk")
    ARGS = parser.parse_args()
    server = Server(("127.0.0.1", ARGS.port), Handler)
    port = server.server_address[1]
    if ARGS.port_file:
        with open(ARGS.port_file + ".tmp", "w") as f:
            f.write(str(port))
        os.rename(ARGS.port_file + ".tmp", ARGS.port_file)
    if not ARGS.port_file:
        print("serving %s on http://127.0.0.1:%d" % (ARGS.root, port), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
