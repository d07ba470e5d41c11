#!/usr/bin/env python3
"""Loopback HTTP(S) server for the tests: records every request and answers per path.

    testserver.py [--port N] [--tls DIR [--tls13-only]] [--record FILE] [--route PATH=KIND[:ARG]]...
    testserver.py --decode        (stdin: one record URL or d= text per line)

Prints "PORT <n>" on stdout once it listens on 127.0.0.1 (port chosen by the system).
With --tls DIR it makes a key and a self-signed certificate for 127.0.0.1 and
localhost at start (DIR/cert.pem is the CA file for clients) and speaks HTTPS;
with --tls13-only as well it refuses every handshake below TLS 1.3.

Kinds, chosen by the request's path (without query); unlisted paths answer "ok":
    ok          200 with a short body
    status:N    status N with a short body
    late:MS     200 after MS milliseconds
    hang        never answers (the connection stays open until the server ends)
    garbage     writes bytes that are not HTTP and closes
    close       closes the connection without answering
    endless     200 with a body that never ends
    endless:unsized  the same without a Content-Length (the body runs until the connection closes)
    file:PATH   200 with the content of PATH (404 when missing)
    slowfile:RATE:PATH     the same, sent at RATE bytes per second (in 20 pieces a second)
    stallfile:N:PATH       the full Content-Length, the first N bytes, then nothing more
                           (the connection stays open until the server ends)
    cutfile:N:PATH         the full Content-Length, the first N bytes, then the connection closes

Every request is recorded as one JSON line in the record file (stdout when none):
    {"method":"GET","path":"/x","query":"v=D1S1E1&d=...","pairs":[["dm","/ulx/client/app"],...]}
with "pairs" decoded from the request's d= item by this script's own decoder (or
"error" when it does not decode), so that the tests check the C++ encoder against an
independent reading of the record format. A dynamic report ("v=DYN1") is recorded
with "dyn" instead: {"params":{"10":...},"guid":...,"meta":"<hex>","fields":[[id,flag,"<hex>"],...]}.
"""
import argparse
import base64
import http.server
import json
import os
import socketserver
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

NULL_LENGTH = 0xFFFFFFFF


def decode_record(text):
    """S1 over E1: returns the list of [key, value-or-None], or raises ValueError."""
    if any(c not in "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_" for c in text):
        raise ValueError("d= is not base64url text")
    try:
        data = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    except Exception as e:  # binascii.Error
        raise ValueError("d= is not base64url text") from e
    if len(data) < 5 or data[0] != 1:
        raise ValueError("not an S1 record of version 1")
    count = struct.unpack_from("<I", data, 1)[0]
    pos = 5
    pairs = []
    for _ in range(count):
        if pos + 4 > len(data):
            raise ValueError("truncated record")
        klen = struct.unpack_from("<I", data, pos)[0]
        pos += 4
        if klen == NULL_LENGTH or pos + klen + 4 > len(data):
            raise ValueError("truncated record")
        key = data[pos:pos + klen].decode("utf-8")
        pos += klen
        vlen = struct.unpack_from("<I", data, pos)[0]
        pos += 4
        if vlen == NULL_LENGTH:
            value = None
        else:
            if pos + vlen > len(data):
                raise ValueError("truncated record")
            value = data[pos:pos + vlen].decode("utf-8")
            pos += vlen
        pairs.append([key, value])
    if pos != len(data):
        raise ValueError("trailing bytes after the record")
    return pairs


def decode_dyn(text):
    """The dynamic report's DYN1 record (see reportcore/kdynrecord.h), or raises ValueError."""
    try:
        data = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
        if data[:4] != b"KDYN" or data[4] != 1:
            raise ValueError("not a DYN1 record")
        pos = 5
        params = {}
        for _ in range(data[pos:pos + 1][0]):
            pid, plen = struct.unpack_from("<BH", data, pos + 1)
            params[str(pid)] = data[pos + 4:pos + 4 + plen].decode("utf-8")
            pos += 3 + plen
        pos += 1
        glen = struct.unpack_from("<H", data, pos)[0]
        guid = data[pos + 2:pos + 2 + glen].decode("utf-8")
        pos += 2 + glen
        mlen = struct.unpack_from("<H", data, pos)[0]
        meta = data[pos + 2:pos + 2 + mlen].hex()
        pos += 2 + mlen
        fields = []
        count = data[pos]
        pos += 1
        for _ in range(count):
            fid, flag, flen = struct.unpack_from("<HBI", data, pos)
            pos += 7
            if pos + flen > len(data):
                raise ValueError("truncated record")
            fields.append([fid, flag, data[pos:pos + flen].hex()])
            pos += flen
        if pos != len(data):
            raise ValueError("trailing bytes after the record")
    except (IndexError, struct.error, UnicodeDecodeError) as e:
        raise ValueError("truncated record") from e
    return {"params": params, "guid": guid, "meta": meta, "fields": fields}


def decode_line(line):
    line = line.strip()
    data = line
    if "?" in line or line.startswith(("d=", "v=")):
        query = urllib.parse.parse_qs(line.split("?", 1)[1] if "?" in line else line, keep_blank_values=True)
        if "v" in query and query["v"][0] != "D1S1E1":
            raise ValueError("unknown format " + query["v"][0])
        if "d" not in query:
            raise ValueError("no d= in the line")
        data = query["d"][0]
    return decode_record(data)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive
    # Headers and body go out as two writes: without this every answer waits for
    # the client's delayed acknowledgement (40 ms a request).
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def record(self, path, query):
        entry = {"method": self.command, "path": path, "query": query, "t": time.monotonic()}
        params = urllib.parse.parse_qs(query, keep_blank_values=True)
        if params.get("v") == ["DYN1"] and "d" in params:
            try:
                entry["dyn"] = decode_dyn(params["d"][0])
            except ValueError as e:
                entry["error"] = str(e)
        elif "d" in params:
            try:
                entry["pairs"] = decode_record(params["d"][0])
            except (ValueError, UnicodeDecodeError) as e:
                entry["error"] = str(e)
        self.server.write_record(entry)

    def answer(self, status, body=b"ok"):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        parsed = urllib.parse.urlsplit(self.path)
        self.record(parsed.path, parsed.query)
        kind, _, arg = self.server.routes.get(parsed.path, "ok").partition(":")
        if kind == "ok":
            self.answer(200)
        elif kind == "status":
            self.answer(int(arg))
        elif kind == "late":
            if self.server.stopping.wait(int(arg) / 1000.0):
                self.close_connection = True
                return
            self.answer(200)
        elif kind == "hang":
            self.server.stopping.wait()
            self.close_connection = True
        elif kind == "garbage":
            self.wfile.write(b"\x00\xffthis is not HTTP\r\n\r\n")
            self.close_connection = True
        elif kind == "close":
            self.close_connection = True
        elif kind == "endless":
            self.send_response(200)
            if arg == "unsized":
                self.send_header("Connection", "close")
            else:
                self.send_header("Content-Length", str(1 << 40))
            self.end_headers()
            chunk = b"x" * 65536
            try:
                while not self.server.stopping.is_set():
                    self.wfile.write(chunk)
            except OSError:
                pass
            self.close_connection = True
        elif kind == "file":
            self.send_file(arg)
        elif kind in ("slowfile", "stallfile", "cutfile"):
            number, _, path = arg.partition(":")
            self.send_file(path, kind, int(number))
        else:
            self.answer(500, b"unknown route kind")

    def send_file(self, path, how="file", number=0):
        try:
            f = open(path, "rb")
        except OSError:
            self.answer(404, b"not found")
            return
        with f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            limit = number if how in ("stallfile", "cutfile") else size
            piece = max(1, number // 20) if how == "slowfile" else 65536
            sent = 0
            try:
                while sent < limit and not self.server.stopping.is_set():
                    data = f.read(min(piece, limit - sent))
                    if not data:
                        break
                    self.wfile.write(data)
                    self.wfile.flush()
                    sent += len(data)
                    if how == "slowfile" and sent < limit:
                        self.server.stopping.wait(0.05)
            except OSError:
                self.close_connection = True
                return
            if how == "stallfile":
                self.server.stopping.wait()
            if how != "file":
                self.close_connection = True

    do_POST = do_GET


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, routes, record_file, port):
        super().__init__(("127.0.0.1", port), Handler)
        self.routes = routes
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.record_file = record_file

    def handle_error(self, request, client_address):
        pass  # clients that go away mid-answer are part of the tests

    def write_record(self, entry):
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.lock:
            self.record_file.write(line)
            self.record_file.flush()


def make_certificate(directory):
    os.makedirs(directory, exist_ok=True)
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls")
    parser.add_argument("--tls13-only", action="store_true")
    parser.add_argument("--record")
    parser.add_argument("--route", action="append", default=[])
    parser.add_argument("--decode", action="store_true")
    args = parser.parse_args()

    if args.decode:
        for line in sys.stdin:
            try:
                out = {"pairs": decode_line(line)}
            except (ValueError, UnicodeDecodeError) as e:
                out = {"error": str(e)}
            print(json.dumps(out, ensure_ascii=False, separators=(",", ":")), flush=True)
        return

    routes = {}
    for r in args.route:
        path, _, kind = r.partition("=")
        routes[path] = kind
    record_file = open(args.record, "a", encoding="utf-8") if args.record else sys.stdout
    server = Server(routes, record_file, args.port)
    if args.tls:
        cert, key = make_certificate(args.tls)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        if args.tls13_only:
            context.minimum_version = ssl.TLSVersion.TLSv1_3
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.05)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()


if __name__ == "__main__":
    main()
