"""A real HTTP server on 127.0.0.1 whose answers a test scripts, for exercising the
trainer against coordinators that misbehave on purpose. It records every request."""
import http.server
import socket
import threading
import time


class Recorded:
    def __init__(self, method, path, headers, body):
        self.method, self.path, self.headers, self.body = method, path, headers, body

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None


class Reply:
    """What to answer: status, body, headers; or a broken answer (`mode`)."""

    def __init__(self, status=200, body=b"", headers=(), delay=0.0, mode=None):
        self.status, self.body, self.headers, self.delay, self.mode = status, body, list(headers), delay, mode


class ScriptedServer:
    def __init__(self):
        self.requests = []
        self.reply = lambda req: Reply()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def _serve(self):
                n = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(n) if n else b""
                # The request line as sent: http.server collapses a leading "//" in self.path.
                target = self.requestline.split(" ")[1]
                req = Recorded(self.command, target, list(self.headers.items()), body)
                outer.requests.append(req)
                r = outer.reply(req)
                if r.delay:
                    time.sleep(r.delay)
                if r.mode == "close":  # drop the connection without answering
                    self.connection.shutdown(socket.SHUT_RDWR)
                    self.close_connection = True
                    return
                self.send_response(r.status)
                for k, v in r.headers:
                    self.send_header(k, v)
                declared = len(r.body) * 2 if r.mode == "truncate" else len(r.body)
                self.send_header("Content-Length", str(declared))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(r.body)
                self.wfile.flush()
                if r.mode == "truncate":  # promised more than it sends, then hangs up
                    self.connection.shutdown(socket.SHUT_RDWR)
                self.close_connection = True

            do_GET = do_POST = _serve

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()


def closed_port():
    """A port on 127.0.0.1 where nothing listens (connection refused)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
