#!/usr/bin/env python3
"""The real-agent tier: vantle against the real Oh My Pi agent, offline.

Run by tests/real-agent/run inside a network namespace of its own (`unshare -n`), one agent
version per run. The agent talks to our model server on loopback; its proxy variables point at the
server's trap, so a request meant for anywhere else is refused there and counted.

Usage: scenarios.py --vantle BIN --agent-bin DIR --version X.Y.Z --expect supported|refused --work DIR
"""

import argparse
import ctypes
import errno
import fcntl
import glob
import json
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import termios
import time

import model_server as ms

EM = "\u2014"
HANG_GUARD = 120  # seconds; only ever stops a run that hangs, never judges speed


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def __call__(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print("  ok: " + name, flush=True)
        else:
            self.failed += 1
            print("  FAIL: %s\n        %s" % (name, str(detail)[:3000]), flush=True)
        return ok


check = Checks()


def until(condition, limit=HANG_GUARD):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


class Lab:
    """The scratch home, state directory and environment every scenario shares."""

    def __init__(self, args):
        self.vantle = os.path.abspath(args.vantle)
        self.bin = os.path.abspath(args.agent_bin)
        self.version = args.version
        self.work = os.path.abspath(args.work)
        shutil.rmtree(self.work, ignore_errors=True)
        self.home = self.path("home")
        self.state = self.path("state")
        self.tmp = self.path("tmp")
        self.project = self.path("proj")
        self.server = ms.ModelServer()
        agent_dir = os.path.join(self.home, ".omp", "agent")
        os.makedirs(agent_dir)
        write(os.path.join(agent_dir, "models.yml"), MODELS_YML % (self.server.url, MODEL_NAME))
        write(os.path.join(agent_dir, "config.yml"), CONFIG_YML)
        self.extension = os.path.join(self.work, "extension.ts")
        self.extension_mark = os.path.join(self.work, "extension-loaded")
        write(self.extension, EXTENSION_TS)
        self.env = {
            "HOME": self.home,
            "PATH": self.bin + ":/usr/local/bin:/usr/bin:/bin",
            "LANG": "C.UTF-8",
            "TERM": "xterm-256color",
            "TMPDIR": self.tmp,
            "VANTLE_STATE_DIR": self.state,
            "EXTENSION_MARK": self.extension_mark,
            "NO_PROXY": "127.0.0.1,localhost",
            "no_proxy": "127.0.0.1,localhost",
        }
        for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):
            self.env[name] = self.env[name.lower()] = self.server.proxy

    def path(self, *parts):
        p = os.path.join(self.work, *parts)
        os.makedirs(p, exist_ok=True)
        return p

    def vantle_run(self, args, stdin=b"", cwd=None, env=None):
        try:
            return subprocess.run([self.vantle] + args, input=stdin, capture_output=True, cwd=cwd or self.project,
                                  env=env or self.env, timeout=HANG_GUARD)
        except subprocess.TimeoutExpired as e:
            return subprocess.CompletedProcess(e.cmd, -1, e.stdout or b"", (e.stderr or b"") + b"\n(hung)")


MODEL_NAME = "Test Model"
MODELS_YML = """providers:
  test:
    baseUrl: %s
    apiKey: test-key
    api: openai-completions
    models:
      - id: test-model
        name: %s
        reasoning: false
        input: [text]
        contextWindow: 128000
        maxTokens: 4096
"""

CONFIG_YML = """modelRoles:
  default: test/test-model
setupVersion: 2
startup:
  checkUpdate: false
  setupWizard: false
marketplace:
  autoUpdate: "off"
disabledProviders: [ollama, llama.cpp, lm-studio]
"""

# Proves that the agent loaded the file passed with --extension.
EXTENSION_TS = """import * as fs from "node:fs";
export default function (pi) {
  fs.writeFileSync(process.env.EXTENSION_MARK, "loaded\\n");
}
"""


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def excerpt(label, text):
    """The one-line form of a captured stream that the turns put in their reports."""
    text = text.strip()
    if not text:
        return label + ": <silent>"
    if len(text) > 1200:
        text = "\u2026" + text[-1200:]
    return label + ": " + text.replace("\r\n", " | ").replace("\n", " | ")


def request_text(request):
    return json.dumps(request.get("messages", []), ensure_ascii=False)


def jsonl_files(directory):
    return sorted(glob.glob(os.path.join(directory, "*.jsonl")))


def session_id(log_path):
    """The id the agent gives the session in its log, not the one in the file name."""
    with open(log_path, "rb") as f:
        for raw in f:
            try:
                event = json.loads(raw)
            except ValueError:
                continue
            if isinstance(event, dict) and event.get("type") == "session":
                return event.get("id")
    return None


# ---- the network namespace

def interfaces():
    """Each network interface of this namespace with the packets it has sent."""
    with open("/proc/net/dev") as f:
        rows = [line.split(":", 1) for line in f.read().splitlines()[2:]]
    return {name.strip(): int(counters.split()[9]) for name, counters in rows}


def isolation():
    links = sorted(interfaces())
    check("the namespace has no interface but loopback", links == ["lo"], links)
    probe = socket.socket()
    probe.settimeout(5)
    try:
        probe.connect(("192.0.2.1", 443))
        outcome = "connected"
    except OSError as e:
        outcome = e.errno
    finally:
        probe.close()
    check("a connection to a non-loopback address is refused at once", outcome == errno.ENETUNREACH, outcome)


def non_loopback_traffic():
    """Packets sent through any interface other than loopback since the namespace was made."""
    return sum(sent for name, sent in interfaces().items() if name != "lo")


# ---- resolution and the version gate

def refused_version(lab):
    run = lab.vantle_run(["launch-omp", "--id", "ep", "--extension", lab.extension])
    expected = ("vantle launch-omp: resolved executable candidate(s), but none passed Oh My Pi validation: "
                "PATH candidate `%s/omp` (found Oh My Pi %s; vantle requires Oh My Pi 16.3.15 or newer. "
                "Update OMP with `omp update` and retry); refusing the known unrelated command collision. "
                "Set VANTLE_OMP_BIN to the Oh My Pi executable\n") % (lab.bin, lab.version)
    check("omp %s on PATH is refused with exit 2 and the exact message" % lab.version,
          run.returncode == 2 and run.stderr.decode() == expected and not run.stdout,
          "exit %d, stderr %r" % (run.returncode, run.stderr))
    check("the refused agent is never started: no snapshot, no model request",
          not os.listdir(lab.state) and not lab.server.requests, (os.listdir(lab.state), lab.server.requests))


# ---- launch-omp on a pseudo-terminal

class Terminal:
    """A pseudo-terminal whose slave side a started process takes as its controlling terminal."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
        self.screen = b""

    def start(self, argv, env, cwd):
        process = subprocess.Popen(argv, cwd=cwd, env=env, stdin=self.slave, stdout=self.slave, stderr=self.slave,
                                   start_new_session=True,
                                   preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(self.slave)
        return process

    def pump(self, condition, limit=HANG_GUARD):
        """Reads what the terminal shows until `condition()` holds or the terminal closes."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if condition():
                return True
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if ready:
                try:
                    data = os.read(self.master, 65536)
                except OSError:
                    data = b""
                if not data:
                    return condition()
                self.screen += data
        return False

    def say(self, text):
        """Types a line: the text, then, once the interface shows it, Enter on its own (a key
        arriving together with text would be taken as part of a paste)."""
        shown = len(self.screen)
        os.write(self.master, text.encode())
        echoed = self.pump(lambda: text.encode() in self.screen[shown:])
        os.write(self.master, b"\r")
        return echoed

    def close(self):
        os.close(self.master)


def ui_ready(lab, terminal):
    # The interface names the model once it is drawn; the mark exists once the extension ran.
    return lambda: MODEL_NAME.encode() in terminal.screen and os.path.exists(lab.extension_mark)


def logged(sessions, reply):
    """The session logs under `sessions`, once one of them holds `reply`; otherwise None."""
    logs = glob.glob(os.path.join(sessions, "*", "*.jsonl"))
    return logs if any(reply.encode() in read_bytes(log) for log in logs) else None


def converse(lab, endpoint, env, reply, sessions):
    """launch-omp for `endpoint` on a terminal: one typed prompt answered with `reply`, then /exit
    once the agent has logged the answer under `sessions` (it writes its log after the streamed
    answer ends, and an /exit typed in between leaves no log).
    Returns whether the agent answered, its exit code and the terminal's last output."""
    if os.path.exists(lab.extension_mark):
        os.remove(lab.extension_mark)
    lab.server.answer(ms.text(reply))
    terminal = Terminal()
    agent = terminal.start([lab.vantle, "launch-omp", "--id", endpoint, "--extension", lab.extension],
                           env, lab.project)
    ready = terminal.pump(ui_ready(lab, terminal))
    if ready:
        # The conversation's turn is the request that offers the agent its tools (a session title
        # is asked for without them).
        ready = terminal.say("hello agent") and terminal.pump(
            lambda: any(request.get("tools") for request in lab.server.served))
    if ready:
        terminal.pump(lambda: logged(sessions, reply))
        terminal.say("/exit")
        terminal.pump(lambda: False)
    try:
        code = agent.wait(timeout=HANG_GUARD)
    except subprocess.TimeoutExpired:
        agent.kill()
        code = agent.wait()
    terminal.close()
    return ready, code, terminal.screen[-1500:]


def launch(lab):
    reply = "Hello from the model."
    sessions = os.path.join(lab.home, ".omp", "agent", "sessions")
    ready, code, screen = converse(lab, "ep", lab.env, reply, sessions)
    check("launch-omp: the agent's interface answers on the terminal and `/exit` ends it with exit 0",
          ready and code == 0, "answered %s, exit %s, screen tail %r" % (ready, code, screen))
    check("launch-omp passes --extension in a form the agent loads", os.path.exists(lab.extension_mark))

    snapshot = os.path.join(lab.state, ".vantle", "vantle-env-v1", "ep.json")
    try:
        recorded = json.loads(read_bytes(snapshot))["selectors"]["VANTLE_OMP_BIN"]
    except (OSError, ValueError, KeyError, TypeError) as e:
        recorded = e
    check("resolution: omp %s found on PATH passes the --version gate and is recorded" % lab.version,
          recorded == os.path.join(lab.bin, "omp"), recorded)

    logs = glob.glob(os.path.join(sessions, "*", "*.jsonl"))
    if not check("the interactive agent logged the exchange in a folder of its sessions directory",
                 len(logs) == 1 and reply.encode() in read_bytes(logs[0]), logs):
        return
    run = lab.vantle_run(["history-omp", "--session", str(session_id(logs[0]))])
    check("history-omp finds that log by its session id across snapshots and streams it byte for byte",
          run.returncode == 0 and run.stdout == read_bytes(logs[0]) and run.stdout,
          "exit %d, stderr %r" % (run.returncode, run.stderr))


# ---- where the agent writes beyond the sessions directory, and its archives

def found_whole(lab, log, what):
    """history-omp and digest-omp, by the session's id across snapshots, against the log `log` holds."""
    sid = str(session_id(log) if isinstance(log, str) else log[1])
    original = read_bytes(log) if isinstance(log, str) else log[0]
    run = lab.vantle_run(["history-omp", "--session", sid])
    check("history-omp finds the session %s and streams it byte for byte" % what,
          run.returncode == 0 and run.stdout == original and original,
          "exit %d, stderr %r" % (run.returncode, run.stderr))
    run = lab.vantle_run(["digest-omp", "--session", sid])
    expected = expected_digest(original)
    check("digest-omp maps the session %s record for record" % what,
          run.returncode == 0 and run.stdout.decode("utf-8", "replace").split("\n") == expected + [""] and expected,
          "exit %d, stderr %r, got %r" % (run.returncode, run.stderr, run.stdout[:800]))


def layouts(lab):
    """The agent's own layouts: each launched through launch-omp, which records the selectors."""
    xdg = lab.path("xdg")
    xdg_default = lab.path("xdg-default")
    config = "/vantle-real-agent-cfg"  # absolute: the agent appends it to home; nothing is made there
    cases = [
        ("the XDG data layout", "ep-xdg", {"XDG_DATA_HOME": xdg}, os.path.join(xdg, "omp"),
         os.path.join(xdg, "omp", "sessions"), None),
        ("the XDG data layout with a profile", "ep-profile", {"XDG_DATA_HOME": xdg, "OMP_PROFILE": "work"},
         os.path.join(xdg, "omp", "profiles", "work"), os.path.join(xdg, "omp", "profiles", "work", "sessions"),
         os.path.join(lab.home, ".omp", "profiles", "work", "agent")),
        ("an absolute PI_CONFIG_DIR", "ep-config", {"PI_CONFIG_DIR": config}, None,
         os.path.join(lab.home, config.lstrip("/"), "agent", "sessions"),
         os.path.join(lab.home, config.lstrip("/"), "agent")),
        # An agent directory that names the default one leaves the XDG rule in force.
        ("PI_CODING_AGENT_DIR naming the default and the XDG data layout", "ep-default-dir",
         {"PI_CODING_AGENT_DIR": os.path.join(lab.home, ".omp", "agent"), "XDG_DATA_HOME": xdg_default},
         os.path.join(xdg_default, "omp"), os.path.join(xdg_default, "omp", "sessions"), None),
        # With OMP_PROFILE selecting the default, the agent directory of PI_PROFILE's profile is set
        # aside (a configuration folder of its own keeps this log apart from the first session's).
        ("PI_CODING_AGENT_DIR of the profile that an empty OMP_PROFILE bypassed", "ep-bypassed",
         {"PI_CONFIG_DIR": ".omp-bypassed", "OMP_PROFILE": "", "PI_PROFILE": "work",
          "PI_CODING_AGENT_DIR": os.path.join(lab.home, ".omp-bypassed", "profiles", "work", "agent")},
         None, os.path.join(lab.home, ".omp-bypassed", "agent", "sessions"),
         os.path.join(lab.home, ".omp-bypassed", "agent")),
    ]
    for what, endpoint, extra, make, sessions, agent_dir in cases:
        if make:
            os.makedirs(make, exist_ok=True)
        if agent_dir:
            # The agent reads its models and settings from its own agent directory.
            os.makedirs(agent_dir, exist_ok=True)
            for name in ("models.yml", "config.yml"):
                shutil.copy(os.path.join(lab.home, ".omp", "agent", name), agent_dir)
        reply = "Hello from %s." % endpoint
        ready, code, screen = converse(lab, endpoint, dict(lab.env, **extra), reply, sessions)
        logs = glob.glob(os.path.join(sessions, "*", "*.jsonl"))
        if not check("with %s the agent logged the exchange where its own rules put it" % what,
                     ready and code == 0 and len(logs) == 1 and reply.encode() in read_bytes(logs[0]),
                     "answered %s, exit %s, logs %s, screen tail %r" % (ready, code, logs, screen)):
            continue
        found_whole(lab, logs[0], "the agent wrote with %s" % what)


def archived(lab):
    """The first session, archived by the agent's own `omp gc`."""
    sessions = os.path.join(lab.home, ".omp", "agent", "sessions")
    logs = glob.glob(os.path.join(sessions, "*", "*.jsonl"))
    if not check("the first session's log is still there to archive", len(logs) == 1, logs):
        return
    original, sid = read_bytes(logs[0]), session_id(logs[0])
    # gc leaves alone what was written in its last minutes and what its retention keeps.
    old = time.time() - 40 * 86400
    os.utime(logs[0], (old, old))
    run = subprocess.run([os.path.join(lab.bin, "omp"), "gc", "--archive", "--apply", "--cold-archive-after-days", "0",
                          "--retain-newest-global", "0", "--retain-newest-per-cwd", "0"],
                         capture_output=True, cwd=lab.project, env=lab.env, timeout=HANG_GUARD)
    relative = os.path.relpath(logs[0], sessions)
    archive = os.path.join(lab.home, ".omp", "agent", "archive", "sessions", relative + ".gz")
    if not check("omp gc archived the session beside the sessions directory",
                 run.returncode == 0 and os.path.exists(archive) and not os.path.exists(logs[0]),
                 "exit %d, stdout %r, stderr %r" % (run.returncode, run.stdout[-800:], run.stderr[-800:])):
        return
    found_whole(lab, (original, sid), "that omp gc archived")


def alive(pid):
    try:
        stat = read_bytes("/proc/%d/stat" % pid)
    except OSError:
        return False
    return stat[stat.rfind(b")") + 2:][:1] != b"Z"


def descendants(root):
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = read_bytes("/proc/%s/stat" % entry)
            except OSError:
                continue
            parent = int(stat[stat.rfind(b")") + 2:].split()[1])
            children.setdefault(parent, []).append(int(entry))
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


# The stand-in daemon: starts the tool as the leader of a session whose terminal is the daemon's
# stdin, and waits for it.
DAEMON = ("import fcntl, subprocess, sys, termios\n"
          "sys.exit(subprocess.call(sys.argv[1:], start_new_session=True,"
          " preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0)))\n")


def daemon_death(lab):
    # Orphans come back to this process, so it can read the tool's exit code.
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    os.remove(lab.extension_mark)
    lab.server.answer()
    terminal = Terminal()
    daemon = subprocess.Popen([sys.executable, "-c", DAEMON, lab.vantle, "launch-omp", "--id", "ep2", "--extension",
                               lab.extension], cwd=lab.project, env=lab.env, stdin=terminal.slave,
                              stdout=terminal.slave, stderr=terminal.slave)
    os.close(terminal.slave)
    ready = terminal.pump(ui_ready(lab, terminal))
    tools = descendants(daemon.pid)
    tool = tools[0] if tools else None
    tree = descendants(tool) if tool else []
    daemon.kill()
    daemon.wait()
    status = None

    def tool_ended():
        nonlocal status
        try:
            pid, raw = os.waitpid(tool, os.WNOHANG)
        except ChildProcessError:
            return True
        if pid == tool:
            status = raw
        return pid == tool

    if tool:
        # The tool writes its line to the terminal as it ends, and the agent's interface may have
        # filled the terminal meanwhile: it is read while the tool ends, so that it never holds it up.
        if not terminal.pump(tool_ended) and not tool_ended():
            # Still running after the guard: a hang, which the check below reports.
            os.kill(tool, signal.SIGKILL)
            try:
                _, status = os.waitpid(tool, 0)
            except ChildProcessError:
                pass
    line = b"vantle launch-omp: hosting daemon exited; reaping the OMP session tree"
    terminal.pump(lambda: line in terminal.screen, limit=10)
    terminal.close()
    check("the daemon's death ends launch-omp with exit 93 and the hosting-daemon line",
          ready and status is not None and os.WIFEXITED(status) and os.WEXITSTATUS(status) == 93
          and line in terminal.screen,
          "ready %s, tree %s, status %s, screen tail %r" % (ready, tree, status, terminal.screen[-800:]))
    gone = until(lambda: not any(alive(p) for p in tree), limit=30)
    check("no process of the agent's tree is left", tree and gone,
          "tree %s, alive %s" % (tree, [p for p in tree if alive(p)]))
    while True:
        try:
            if os.waitpid(-1, os.WNOHANG)[0] == 0:
                break
        except ChildProcessError:
            break


# ---- thymel-omp

THYMEL_REFUSAL = ("THYMEL_ACCOUNT_REFUSAL:ep: outage, not a fault " + EM + " the provider refused the Thymel turn for "
                  "account reasons (%s). Nothing is broken: the Thymel session and its stored context are intact "
                  "and untouched, a retry would succeed on a healthy account, and only a human can restore it "
                  "(clear the limit or the credential). Exiting 96 (keep custody; the daemon paces retries, never "
                  "reseeds). %s; omp stdout: ")
THYMEL_FAIL = "THYMEL_TURN_FAIL:ep: omp exited exit code: 1; %s; omp stdout: "
THYMEL_FAIL_TAIL = " " + EM + " exiting nonzero (keep custody); the daemon owns retry/reseed (no internal retry)"


def thymel(lab, mind_file, stdin):
    return lab.vantle_run(["thymel-omp", "--id", "ep", "--session-id", "s", "--thymel-context-file", mind_file],
                          stdin=stdin.encode())


def thymel_turns(lab):
    """A first turn with a tool round trip, then a continuation; returns the sessions directory."""
    notes = lab.path("notes")
    mind = os.path.join(notes, "mind.md")
    sessions = os.path.join(notes, "omp-sessions")
    write(mind, "You keep the notes of this project.\n")
    first = "Done: hello.txt says hello."
    lab.server.answer(ms.tool_call("write", {"path": "hello.txt", "content": "hello\n"}, "Writing the file."),
                      ms.text(first))
    run = thymel(lab, mind, "Please create hello.txt saying hello.")
    check("thymel-omp first turn: the agent's reply on stdout, exit 0",
          run.returncode == 0 and run.stdout.decode().strip() == first,
          "exit %d, stdout %r, stderr %r" % (run.returncode, run.stdout, run.stderr))
    asked = lab.server.requests[0][1] if lab.server.requests else {}
    check("the agent read the whole prompt (mind, then input) from the @file",
          "You keep the notes of this project.\\n\\nPlease create hello.txt saying hello." in request_text(asked),
          request_text(asked)[:2000])
    hello = os.path.join(notes, "hello.txt")
    check("the agent ran its write tool unasked in the mind file's directory",
          os.path.exists(hello) and read_bytes(hello) == b"hello\n", os.listdir(notes))

    write(mind, "")
    second = "I wrote hello.txt."
    lab.server.answer(ms.text(second))
    run = thymel(lab, mind, "What did you write?")
    check("thymel-omp -c continuation: the reply on stdout, exit 0",
          run.returncode == 0 and run.stdout.decode().strip() == second,
          "exit %d, stdout %r, stderr %r" % (run.returncode, run.stdout, run.stderr))
    asked = lab.server.requests[0][1] if lab.server.requests else {}
    logs = jsonl_files(sessions)
    check("-c continued the stored conversation in the same session log",
          first in request_text(asked) and len(logs) == 1 and second.encode() in read_bytes(logs[0]),
          (logs, request_text(asked)[-1500:]))
    return sessions


def thymel_failures(lab):
    mind = os.path.join(lab.path("failing"), "mind.md")
    write(mind, "You keep the notes.\n")
    quota = "You exceeded your current quota, please check your plan and billing details."
    cases = [
        ("402", "usage-limit", ms.error(402, quota, "insufficient_quota")),
        ("401", "credential", ms.error(401, "invalid api key", "invalid_api_key")),
        # The agent retries a 500 unless the server asks for a longer wait than it will make.
        ("500", None, ms.error(500, "internal error", "server_error", retry_after=3600)),
    ]
    for status, category, answer in cases:
        lab.server.answer(answer)
        run = thymel(lab, mind, "Note this.")
        err = run.stderr.decode("utf-8", "replace")
        prefix = "THYMEL_ACCOUNT_REFUSAL:" if category else "THYMEL_TURN_FAIL:"
        agent_err, _, line = err.rpartition(prefix)
        line = prefix + line
        said = excerpt("omp stderr", agent_err)
        if category:
            name = "a %s answer is an account refusal (%s), exit 96" % (status, category)
            ok = run.returncode == 96 and line.startswith(THYMEL_REFUSAL % (category, said)) and line.endswith("\n")
        else:
            name = "a %s answer that the agent gives up on is a turn failure, exit 1" % status
            ok = (run.returncode == 1 and line.startswith(THYMEL_FAIL % said)
                  and line.endswith(THYMEL_FAIL_TAIL + "\n"))
        check(name, ok and status in agent_err and not run.stdout,
              "exit %d, stderr %r" % (run.returncode, err[-2500:]))


# ---- digest-omp

SUMMARY_KEYS = ["path", "command", "pattern", "query", "url", "prompt", "file_path", "i", "description"]


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def scalar_text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (str, int)):
        return str(value)
    if isinstance(value, float):
        return repr(value)
    return None


def summarize(arguments):
    if not isinstance(arguments, dict):
        return ""
    for key in SUMMARY_KEYS + sorted(arguments):
        if key in arguments and scalar_text(arguments[key]):
            return scalar_text(arguments[key])
    return compact(arguments)


def expected_digest(log):
    """The digest records of a session log, mapped independently of the tool."""
    records = []
    for raw in log.decode("utf-8").split("\n"):
        try:
            event = json.loads(raw.strip())
        except ValueError:
            continue
        if not isinstance(event, dict) or event.get("type") != "message" or not isinstance(event.get("message"), dict):
            continue
        role = {"user": "input", "assistant": "agent"}.get(event["message"].get("role"))
        if not role:
            continue
        ts = event.get("timestamp") if isinstance(event.get("timestamp"), str) and event.get("timestamp") else None
        content = event["message"].get("content")
        items = [{"type": "text", "text": content}] if isinstance(content, str) else content
        for item in items if isinstance(items, list) else []:
            if not isinstance(item, dict):
                continue
            record = None
            if item.get("type") == "text" and isinstance(item.get("text"), str) and item["text"]:
                record = {"role": role, "text": item["text"]}
            elif item.get("type") == "toolCall" and role == "agent":
                name = item.get("name") if isinstance(item.get("name"), str) else ""
                record = {"role": "tool", "tool": {"arg": summarize(item.get("arguments")), "name": name}}
            if record:
                if ts:
                    record["ts"] = ts
                records.append(compact(record))
    return records


def digest(lab, sessions):
    logs = jsonl_files(sessions)
    if not logs:
        check("digest-omp: the Thymel session log exists", False, sessions)
        return
    log = read_bytes(logs[0])
    run = lab.vantle_run(["digest-omp", "--session", str(session_id(logs[0])), "--session-dir", sessions])
    got = run.stdout.decode("utf-8", "replace").split("\n")
    expected = expected_digest(log)
    # The log must still carry what the mapping reads: the tool call and both replies.
    shape = [r for r in expected if '"name":"write"' in r and '"arg":"hello.txt"' in r or "I wrote hello.txt." in r
             or "Done: hello.txt says hello." in r]
    check("digest-omp maps the agent's own log record for record",
          run.returncode == 0 and got == expected + [""] and len(shape) == 3,
          "exit %d, stderr %r\n        got %s\n        expected %s" % (run.returncode, run.stderr, got, expected))


# ---- corvane-omp

def corvane(lab):
    tmp = lab.path("corvane-tmp")
    delta = "<project-context>The build is fixed.</project-context>\n<live-context>Prefers small commits.</live-context>"
    lab.server.answer(ms.text(delta + "\n"))
    env = dict(lab.env, TMPDIR=tmp)
    run = lab.vantle_run(["corvane-omp", "--id", "ep", "--session-id", "s"],
                         stdin=b"user: is the build fixed?\nassistant: yes, fixed.\n", env=env)
    check("corvane-omp returns the agent's context delta, exit 0",
          run.returncode == 0 and run.stdout.decode() == delta and not run.stderr,
          "exit %d, stdout %r, stderr %r" % (run.returncode, run.stdout, run.stderr))
    asked = lab.server.requests[0][1] if lab.server.requests else {}
    check("the turn ran in a workspace in its temporary directory and left that directory empty",
          os.path.join(tmp, "vantle-corvane-workspace-") in request_text(asked) and not os.listdir(tmp),
          os.listdir(tmp))
    system = " ".join(str(m.get("content")) for m in asked.get("messages", []) if m.get("role") in ("system", "developer"))
    check("the agent took the system prompt from its file, the transcript from the @file, and no tools",
          "You are an end-of-session context summarizer." in system
          and "yes, fixed." in request_text(asked) and not asked.get("tools"),
          "system %r, tools %s" % (system[:500], [t.get("function", {}).get("name") for t in asked.get("tools") or []]))


def main():
    parser = argparse.ArgumentParser()
    for option in ("--vantle", "--agent-bin", "--version", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("--expect", choices=("supported", "refused"), required=True)
    args = parser.parse_args()
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    started = time.monotonic()
    lab = Lab(args)
    print("---- omp %s (%s), in %s" % (args.version, args.expect, lab.work), flush=True)
    isolation()
    if args.expect == "refused":
        refused_version(lab)
    else:
        launch(lab)
        daemon_death(lab)
        layouts(lab)
        archived(lab)
        digest(lab, thymel_turns(lab))
        thymel_failures(lab)
        corvane(lab)
    lab.server.close()
    leaked = non_loopback_traffic()
    check("nothing left the machine: no packet went out on a non-loopback interface", leaked == 0, leaked)
    strays = lab.server.strays
    targets = sorted(set(s.split(" ", 1)[1] for s in strays))
    print("  stray requests refused by the trap: %d%s" % (len(strays), (" (" + ", ".join(targets) + ")") if targets else ""))
    print("RESULT passed=%d failed=%d strays=%d leaked=%d seconds=%d" % (
        check.passed, check.failed, len(strays), leaked, time.monotonic() - started), flush=True)
    return 1 if check.failed else 0


if __name__ == "__main__":
    sys.exit(main())
