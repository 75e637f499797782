"""A scripted stand-in for a model provider, speaking the OpenAI chat-completions wire.

Answers POST /v1/chat/completions from a queue of scripted answers (streamed text, a streamed tool
call, or an HTTP error with a JSON body and an optional Retry-After) and logs every request. A
second listener is the proxy trap: the agent's proxy variables point at it, so any request the
agent tries to send anywhere else arrives there, is refused and counted.
"""

import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def text(reply):
    return {"text": reply}


def tool_call(name, arguments, reply=""):
    return {"text": reply, "tool": (name, arguments)}


def error(status, message, kind, retry_after=None):
    body = {"error": {"message": message, "type": kind, "code": kind}}
    return {"status": status, "body": body, "retry_after": retry_after}


class ModelServer:
    def __init__(self):
        self.lock = threading.Lock()
        self.script = []  # answers still to give, in order
        self.requests = []  # (path, parsed body) of every chat-completions request
        self.other = []  # "METHOD path" of every other request to this server
        self.served = []  # the requests whose answer was streamed to its end
        self.strays = []  # "METHOD target" of every request the trap refused
        self.model = _listen(self, _ModelHandler)
        self.trap = _listen(self, _TrapHandler)

    @property
    def url(self):
        return "http://127.0.0.1:%d/v1" % self.model.server_address[1]

    @property
    def proxy(self):
        return "http://127.0.0.1:%d" % self.trap.server_address[1]

    def answer(self, *answers):
        """Replaces the script: the next requests get these answers, one each, and the last one
        is given again to any request after them."""
        with self.lock:
            self.script = list(answers)
            self.requests = []
            self.served = []

    def close(self):
        for server in (self.model, self.trap):
            server.shutdown()
            server.server_close()


def _listen(owner, handler):
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    server.handle_error = lambda request, address: None  # a client that hangs up is no fault here
    server.owner = owner
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class _Quiet(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def send_json(self, status, value, extra=()):
        data = json.dumps(value).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        for name, v in extra:
            self.send_header(name, v)
        self.end_headers()
        self.wfile.write(data)


class _TrapHandler(_Quiet):
    """Every request that reaches the trap was meant for somewhere else: refuse and count it."""

    def refuse(self):
        self.body()
        with self.server.owner.lock:
            self.server.owner.strays.append("%s %s" % (self.command, self.path))
        self.send_json(403, {"error": {"message": "offline test: request refused"}})
        self.close_connection = True

    do_GET = do_POST = do_PUT = do_HEAD = do_DELETE = do_PATCH = do_OPTIONS = do_CONNECT = refuse


class _ModelHandler(_Quiet):
    def do_POST(self):
        owner = self.server.owner
        raw = self.body()
        if not self.path.startswith("/") or not self.path.endswith("/chat/completions"):
            with owner.lock:
                (owner.strays if not self.path.startswith("/") else owner.other).append("POST " + self.path)
            self.send_json(404, {"error": {"message": "not found"}})
            return
        try:
            request = json.loads(raw)
        except ValueError:
            request = None
        with owner.lock:
            owner.requests.append((self.path, request))
            # The last answer stays in place: the agent may ask again (a retry, a session title).
            answer = owner.script[0] if owner.script else None
            if len(owner.script) > 1:
                owner.script.pop(0)
        if answer is None:
            # 400 is neither retried by the agent nor an account refusal: the run fails visibly.
            self.send_json(400, {"error": {"message": "unscripted request", "type": "invalid_request_error"}})
        elif "status" in answer:
            extra = [("Retry-After", str(answer["retry_after"]))] if answer["retry_after"] is not None else []
            self.send_json(answer["status"], answer["body"], extra)
        else:
            self.stream(request or {}, answer)

    def do_GET(self):
        owner = self.server.owner
        with owner.lock:
            (owner.strays if not self.path.startswith("/") else owner.other).append("GET " + self.path)
        self.send_json(404, {"error": {"message": "not found"}})

    do_CONNECT = do_GET

    def stream(self, request, answer):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        ident = "chatcmpl-test-%d" % time.monotonic_ns()
        model = request.get("model", "test-model")

        def chunk(delta, finish=None, usage=None):
            event = {"id": ident, "object": "chat.completion.chunk", "created": int(time.time()),
                     "model": model, "choices": [{"index": 0, "delta": delta, "finish_reason": finish}]}
            if usage:
                event["usage"] = usage
            self.wfile.write(b"data: " + json.dumps(event).encode() + b"\n\n")
            self.wfile.flush()

        chunk({"role": "assistant", "content": ""})
        reply = answer.get("text", "")
        # Split the reply so that the agent has to join deltas.
        for piece in (reply[: len(reply) // 2], reply[len(reply) // 2:]):
            if piece:
                chunk({"content": piece})
        finish = "stop"
        if "tool" in answer:
            name, arguments = answer["tool"]
            encoded = json.dumps(arguments)
            chunk({"tool_calls": [{"index": 0, "id": "call_" + ident, "type": "function",
                                   "function": {"name": name, "arguments": ""}}]})
            for piece in (encoded[: len(encoded) // 2], encoded[len(encoded) // 2:]):
                chunk({"tool_calls": [{"index": 0, "function": {"arguments": piece}}]})
            finish = "tool_calls"
        chunk({}, finish, {"prompt_tokens": 10, "completion_tokens": 5, "total_tokens": 15})
        self.wfile.write(b"data: [DONE]\n\n")
        self.wfile.flush()
        with self.server.owner.lock:
            self.server.owner.served.append(request)
