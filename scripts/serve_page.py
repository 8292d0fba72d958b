#!/usr/bin/env python3
"""Serves the stand-in game page: /rpg is page/game/index.html, /rpg/<file> its assets.

Usage: serve_page.py [port]   (default 47631, the development build's page address)
"""
import http.server
import os
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "page", "game")
TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
         ".css": "text/css; charset=utf-8", ".png": "image/png", ".svg": "image/svg+xml"}


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        path = self.path.split("?", 1)[0].split("#", 1)[0]
        if path in ("/rpg", "/rpg/"):
            name = "index.html"
        elif path.startswith("/rpg/"):
            name = path[len("/rpg/"):]
        else:
            return self.send_error(404)
        if "/" in name or name.startswith("."):
            return self.send_error(404)
        file = os.path.join(ROOT, name)
        if not os.path.isfile(file):
            return self.send_error(404)
        with open(file, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", TYPES.get(os.path.splitext(name)[1], "application/octet-stream"))
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 47631
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    print(f"serving the stand-in game page at http://127.0.0.1:{port}/rpg", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
