#!/usr/bin/env python3
"""Serves the stand-in game page and the end-to-end test pages on several ports.

Each port is its own origin (http://127.0.0.1:<port>), so one server gives the
tests the game's origin, foreign origins and an HTTPS origin with a self-signed
certificate. /rpg and /rpg/<file> are the stand-in page (as scripts/serve_page.py
serves it); /fixtures/<file> are the pages in tests/e2e/pages/, and
/examples/<name>/<file> the example pages in page/examples/.

With --log FILE every connection and request is appended to FILE as a line,
"<port> connect" or "<port> <method> <path>", so tests can show that the web
view never asked a server for something.

Usage: fixture_server.py [--http PORT]... [--https PORT --cert FILE --key FILE] [--ready-file FILE] [--log FILE]
"""
import argparse
import http.server
import os
import ssl
import sys
import threading
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import serve_page  # noqa: E402

FIXTURES = os.path.join(HERE, "pages")
EXAMPLES = os.path.join(HERE, "..", "..", "page", "examples")


LOG = None
LOG_LOCK = threading.Lock()


def log_line(port, text):
    if LOG:
        with LOG_LOCK, open(LOG, "a") as f:
            f.write(f"{port} {text}\n")


class Server(http.server.ThreadingHTTPServer):
    """Logs each connection before any TLS handshake (which a view that refuses
    the certificate never completes)."""
    tls = None

    def get_request(self):
        sock, address = self.socket.accept()
        log_line(self.server_address[1], "connect")
        if self.tls:
            sock = self.tls.wrap_socket(sock, server_side=True)
        return sock, address


class Handler(serve_page.Handler):
    def parse_request(self):
        ok = super().parse_request()
        if ok:
            log_line(self.server.server_address[1], f"{self.command} {self.path}")
        return ok

    def do_GET(self):
        path = self.path.split("?", 1)[0].split("#", 1)[0]
        query = self.path.split("#", 1)[0].split("?", 1)[1] if "?" in self.path else ""
        if path == "/auth":
            # Asks for a password, which the view must never ask the player for.
            body = b"<!doctype html><title>no entry</title><p>401</p>"
            self.send_response(401)
            self.send_header("WWW-Authenticate", 'Basic realm="lutewyrm test"')
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if path == "/redirect":
            # Sends the view on to ?to= (a hop the view must decide like any other).
            target = urllib.parse.parse_qs(query).get("to", ["/"])[0]
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if path.startswith("/fixtures/"):
            folder, name = FIXTURES, path[len("/fixtures/"):]
        elif path.startswith("/examples/") and path.count("/") == 3:
            example, name = path[len("/examples/"):].split("/")
            folder, name = os.path.join(EXAMPLES, example), name or "index.html"
            if example.startswith("."):
                return self.send_error(404)
        else:
            return super().do_GET()
        file = os.path.join(folder, name)
        if "/" in name or name.startswith(".") or not os.path.isfile(file):
            return self.send_error(404)
        with open(file, "rb") as f:
            body = f.read()
        self.send_response(200)
        # ?sandbox: the server isolates the document (its origin becomes "null");
        # ?attachment: the server marks it as a file to save, not a page to show.
        if "sandbox" in query.split("&"):
            self.send_header("Content-Security-Policy", "sandbox allow-scripts")
        if "attachment" in query.split("&"):
            self.send_header("Content-Disposition", 'attachment; filename="lw-probe-attachment.html"')
        self.send_header("Content-Type", serve_page.TYPES.get(os.path.splitext(name)[1], "application/octet-stream"))
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--http", type=int, action="append", default=[])
    parser.add_argument("--https", type=int)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--ready-file", help="written once every port is bound (a taken port ends the server)")
    parser.add_argument("--log", help="every connection and request, a line each")
    args = parser.parse_args()

    global LOG
    LOG = args.log
    servers = [Server(("127.0.0.1", port), Handler) for port in args.http]

    if args.https:
        tls = Server(("127.0.0.1", args.https), Handler)
        tls.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.tls.load_cert_chain(args.cert, args.key)
        servers.append(tls)

    for server in servers[1:]:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    print("serving", ", ".join(str(s.server_address[1]) for s in servers), flush=True)
    if args.ready_file:
        with open(args.ready_file, "w") as f:
            f.write("ready\n")
    servers[0].serve_forever()


if __name__ == "__main__":
    main()
