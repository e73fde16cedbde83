#!/usr/bin/env python3
"""HTTPS update host for the tests, on 127.0.0.1 only.

State directory layout (tests running under Wine reach it as Z:\\...):
  www/            web root; a request path maps to the file below it
  scenario.json   optional, re-read on every request: {"/path": {behaviour}, ...}
  log.txt         one line per request: "<path>\\t<status>\\t<body bytes sent>"
  ports.txt       "<name> <port>" lines: main, mismatch (certificate for another host name,
                  signed by the harness CA), untrusted (localhost, signed by a CA nobody trusts),
                  expired (localhost, signed by the harness CA, valid only in January 2020),
                  plain (answers a TLS handshake in plain text, so the handshake fails)

Behaviour keys (all optional):
  status          status code to answer (default 200 when the file exists, else 404)
  sign            web path of a file to sign; the body is its RSA-SHA256 signature
  file            web path of the file to serve instead of the requested one
  first           {behaviour}: used instead of the others for the path's first request since
                  the log was emptied (a release switched between two requests)
  key             "test" (default) or "other": which tests/keys/*-signing-key.pem signs
  chunks          list of chunk sizes: chunked transfer encoding; the rest goes in one more chunk
  chunk_delay     seconds to wait between chunks (default 0.2 with chunks)
  truncate        announce the full length but close after this many body bytes
  content_length  the Content-Length to announce, whatever the body is
  delay           seconds to wait before the status line
  drip            [bytes, seconds]: send the body in pieces of that size with pauses
  endless         true: a chunked body that never ends (until the client goes away)
  headers         {"Name": "value", ...}: extra response headers (a Location, for example)
"""

import argparse
import http.server
import json
import os
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

KEYS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "keys")
LOG_LOCK = threading.Lock()


def run_openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_extra_certificates(ca_dir, out_dir):
    """A certificate for another name from the harness CA, and one for localhost from a stray CA."""
    os.makedirs(out_dir, exist_ok=True)
    mismatch = (os.path.join(out_dir, "mismatch.pem"), os.path.join(out_dir, "mismatch.key"))
    untrusted = (os.path.join(out_dir, "untrusted.pem"), os.path.join(out_dir, "untrusted.key"))
    if all(os.path.exists(p) for p in mismatch + untrusted):
        return mismatch, untrusted

    def leaf(name, ca_pem, ca_key, pem, key):
        csr = pem + ".csr"
        ext = pem + ".ext"
        run_openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name, "-keyout", key, "-out", csr)
        with open(ext, "w") as f:
            f.write("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n" % name)
        run_openssl("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial",
                    "-days", "3650", "-extfile", ext, "-out", pem)

    leaf("other.vantor.test", os.path.join(ca_dir, "ca.pem"), os.path.join(ca_dir, "ca.key"), *mismatch)
    stray_pem, stray_key = os.path.join(out_dir, "stray-ca.pem"), os.path.join(out_dir, "stray-ca.key")
    run_openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-subj", "/CN=Vantor Stray CA",
                "-keyout", stray_key, "-out", stray_pem,
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    leaf("localhost", stray_pem, stray_key, *untrusted)
    return mismatch, untrusted


def make_expired_certificate(ca_dir, out_dir):
    """A certificate for localhost from the harness CA that expired long ago."""
    pem, key = os.path.join(out_dir, "expired.pem"), os.path.join(out_dir, "expired.key")
    if os.path.exists(pem) and os.path.exists(key):
        return pem, key
    work = os.path.join(out_dir, "expired-ca")
    os.makedirs(work, exist_ok=True)
    with open(os.path.join(work, "index.txt"), "w"):
        pass
    with open(os.path.join(work, "serial"), "w") as f:
        f.write("1000\n")
    config = os.path.join(work, "ca.cnf")
    with open(config, "w") as f:
        f.write("[ca]\ndefault_ca = past\n[past]\ndatabase = %s\nnew_certs_dir = %s\nserial = %s\n"
                "default_md = sha256\npolicy = any\nunique_subject = no\n[any]\ncommonName = supplied\n"
                "[leaf]\nsubjectAltName = DNS:localhost\nextendedKeyUsage = serverAuth\n"
                "basicConstraints = CA:FALSE\n"
                % (os.path.join(work, "index.txt"), work, os.path.join(work, "serial")))
    csr = pem + ".csr"
    run_openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout", key, "-out", csr)
    run_openssl("ca", "-batch", "-config", config, "-extensions", "leaf", "-notext",
                "-cert", os.path.join(ca_dir, "ca.pem"), "-keyfile", os.path.join(ca_dir, "ca.key"),
                "-startdate", "20200101000000Z", "-enddate", "20200201000000Z", "-in", csr, "-out", pem)
    return pem, key


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    state_dir = ""

    def log_message(self, fmt, *args):  # the request log below is the one tests read
        pass

    def record(self, status, sent):
        with LOG_LOCK, open(os.path.join(self.state_dir, "log.txt"), "a") as log:
            log.write("%s\t%d\t%d\n" % (self.path, status, sent))

    def behaviour(self):
        try:
            with open(os.path.join(self.state_dir, "scenario.json"), encoding="utf-8") as f:
                rule = json.load(f).get(self.path, {})
        except (OSError, ValueError):
            return {}
        if "first" in rule and not self.requested_before():
            return rule["first"]
        return rule

    def requested_before(self):
        try:
            with LOG_LOCK, open(os.path.join(self.state_dir, "log.txt")) as log:
                return any(line.split("\t", 1)[0] == self.path for line in log)
        except OSError:
            return False

    def file_for(self, web_path):
        relative = urllib.parse.unquote(urllib.parse.urlsplit(web_path).path).lstrip("/")
        if ".." in relative.split("/"):
            return None
        path = os.path.join(self.state_dir, "www", relative)
        return path if os.path.isfile(path) else None

    def body_for(self, rule):
        if "sign" in rule:
            target = self.file_for(rule["sign"])
            if target is None:
                return None
            key = os.path.join(KEYS_DIR, "%s-signing-key.pem" % rule.get("key", "test"))
            return subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, target],
                                  check=True, capture_output=True).stdout
        path = self.file_for(rule.get("file", self.path))
        if path is None:
            return None
        with open(path, "rb") as f:
            return f.read()

    def do_GET(self):
        try:
            self.answer()
        except (ConnectionError, ssl.SSLError, OSError):
            pass  # the client went away; nothing left to do
        self.close_connection = True

    def answer(self):
        rule = self.behaviour()
        body = self.body_for(rule)
        status = rule.get("status", 200 if body is not None else 404)
        if body is None:
            body = b""
        time.sleep(rule.get("delay", 0))

        if rule.get("endless"):
            self.record(status, -1)
            self.send_response(status)
            self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Connection", "close")
            self.end_headers()
            piece = b"x" * 65536
            while True:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()

        if "chunks" in rule:
            sizes, at, pieces = rule["chunks"], 0, []
            for size in sizes:
                pieces.append(body[at:at + size])
                at += size
            if at < len(body):
                pieces.append(body[at:])
            pieces = [p for p in pieces if p]
            self.record(status, sum(len(p) for p in pieces))
            self.send_response(status)
            self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.flush()
            for index, piece in enumerate(pieces):
                if index:
                    time.sleep(rule.get("chunk_delay", 0.2))
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()
            self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
            return

        sent = body[:rule["truncate"]] if "truncate" in rule else body
        if status in (204, 304):
            sent = b""
        self.record(status, len(sent))
        self.send_response(status)
        for name, value in rule.get("headers", {}).items():
            self.send_header(name, value)
        if status not in (204, 304):
            self.send_header("Content-Length", str(rule.get("content_length", len(body))))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        if "drip" in rule:
            size, pause = rule["drip"]
            for at in range(0, len(sent), size):
                self.wfile.write(sent[at:at + size])
                self.wfile.flush()
                time.sleep(pause)
        else:
            self.wfile.write(sent)
            self.wfile.flush()
        if "truncate" in rule:
            # An abrupt end of the connection, as a dropped link would give.
            self.connection.shutdown(socket.SHUT_RDWR)


def serve(port, cert, key, state_dir):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    handler = type("BoundHandler", (Handler,), {"state_dir": state_dir})
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    server.daemon_threads = True
    # The handshake runs on the handler's thread, so one stalled client cannot block accept().
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def serve_plain(port):
    """Answers whatever arrives, a TLS client hello included, with a plain-text HTTP error."""
    listener = socket.create_server(("127.0.0.1", port))

    def answer(connection):
        with connection:
            try:
                connection.settimeout(10)
                connection.recv(4096)
                connection.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            except OSError:
                pass

    def accept_forever():
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=answer, args=(connection,), daemon=True).start()

    threading.Thread(target=accept_forever, daemon=True).start()
    return listener.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--state-dir", required=True)
    args = parser.parse_args()

    state_dir = os.path.abspath(args.state_dir)
    # Tests wait for this file: a stale one would name the ports of an earlier run.
    if os.path.exists(os.path.join(state_dir, "ports.txt")):
        os.remove(os.path.join(state_dir, "ports.txt"))
    os.makedirs(os.path.join(state_dir, "www"), exist_ok=True)
    mismatch, untrusted = make_extra_certificates(os.path.dirname(os.path.abspath(args.cert)),
                                                  os.path.join(state_dir, "pki"))
    ports = {
        "main": serve(args.port, args.cert, args.key, state_dir),
        "mismatch": serve(0, *mismatch, state_dir),
        "untrusted": serve(0, *untrusted, state_dir),
        "expired": serve(0, *make_expired_certificate(os.path.dirname(os.path.abspath(args.cert)),
                                                      os.path.join(state_dir, "pki")), state_dir),
        "plain": serve_plain(0),
    }
    with open(os.path.join(state_dir, "ports.txt.tmp"), "w") as f:
        for name, port in ports.items():
            f.write("%s %d\n" % (name, port))
    os.replace(os.path.join(state_dir, "ports.txt.tmp"), os.path.join(state_dir, "ports.txt"))
    print("update host ready: %s" % ports, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
