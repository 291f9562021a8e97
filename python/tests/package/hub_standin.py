"""A stand-in for the Hugging Face Hub on the loopback address: serves one model's files as
huggingface_hub asks for them (the revision's file list, then each file's metadata and bytes),
at the revisions it knows, and records every request."""

import hashlib
import http.server
import json
import threading
import urllib.parse

COMMIT = "0123456789abcdef0123456789abcdef01234567"


class HubStandIn:
    def __init__(self, repos, revisions=("main", "v1.0")):
        """`repos`: Hub ID -> {file name: bytes}, the same at each of `revisions` (branch or tag
        names) and at the commit COMMIT."""
        self.repos = repos
        self.revisions = {*revisions, COMMIT}
        self.requests = []
        self.authorizations = []
        stand_in = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_HEAD(self):
                stand_in.answer(self, body=False)

            def do_GET(self):
                stand_in.answer(self, body=True)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.endpoint = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()

    def answer(self, handler, body):
        path = urllib.parse.urlparse(handler.path).path
        self.requests.append((handler.command, path))
        self.authorizations.append(handler.headers.get("Authorization"))
        parts = [urllib.parse.unquote(part) for part in path.strip("/").split("/")]
        # /api/models/{owner}/{name}[/revision/{rev}] and /api/models/{owner}/{name}/tree/...
        if parts[:2] == ["api", "models"] and len(parts) >= 4:
            repo = "/".join(parts[2:4])
            if repo not in self.repos:
                return self.send(
                    handler,
                    404,
                    b'{"error":"Repository not found"}',
                    {"X-Error-Code": "RepoNotFound"},
                    body,
                )
            files = self.repos[repo]
            if len(parts) > 5 and parts[4] in ("revision", "tree") and not self.knows(parts[5]):
                return self.revision_not_found(handler, body)
            if len(parts) > 4 and parts[4] == "tree":
                listing = [
                    {
                        "type": "file",
                        "path": name,
                        "size": len(data),
                        "oid": hashlib.sha1(data).hexdigest(),
                    }
                    for name, data in files.items()
                ]
                return self.send(handler, 200, json.dumps(listing).encode(), {}, body)
            info = {"id": repo, "sha": COMMIT, "siblings": [{"rfilename": name} for name in files]}
            return self.send(handler, 200, json.dumps(info).encode(), {}, body)
        # /{owner}/{name}/resolve/{revision}/{file...}
        if len(parts) >= 5 and parts[2] == "resolve":
            repo, name = "/".join(parts[:2]), "/".join(parts[4:])
            if repo in self.repos and not self.knows(parts[3]):
                return self.revision_not_found(handler, body)
            data = self.repos.get(repo, {}).get(name)
            if data is None:
                return self.send(
                    handler, 404, b"not found", {"X-Error-Code": "EntryNotFound"}, body
                )
            etag = f'"{hashlib.sha256(data).hexdigest()}"'
            return self.send(handler, 200, data, {"X-Repo-Commit": COMMIT, "ETag": etag}, body)
        return self.send(handler, 404, b"not found", {}, body)

    def knows(self, revision):
        return revision in self.revisions

    def revision_not_found(self, handler, body):
        error = b'{"error":"Invalid rev id"}'
        return self.send(handler, 404, error, {"X-Error-Code": "RevisionNotFound"}, body)

    @staticmethod
    def send(handler, status, data, headers, body):
        handler.send_response(status)
        handler.send_header("Content-Length", str(len(data)))
        handler.send_header("Content-Type", "application/octet-stream")
        for key, value in headers.items():
            handler.send_header(key, value)
        handler.end_headers()
        if body:
            handler.wfile.write(data)
