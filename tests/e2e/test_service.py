#!/usr/bin/env python3
"""End-to-end tests of the ZVAppLdrSvc executable.

The executable is copied into a temporary folder with a config.ini that
sends its log there, then run as users run it: in a console, under the
service manager (systemd's notification protocol on Linux, Wine's Service
Control Manager for the Windows build), and against real clients (curl,
http.client, raw sockets).

Environment:
  ZV_EXE        the executable to test (required)
  ZV_RUNNER     a command that runs it (scripts/wine-run.sh for Windows)
  ZV_SLOW       a factor for time limits (sanitizer builds)

Every wait has its own limit, and each test makes sure that nothing else
holds 127.0.0.1:5161 before it starts the service: a busy port or a stuck
service fails the test in seconds, naming the cause.
"""
import collections
import errno
import fcntl
import os
import re
import resource
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import http.client

EXE = os.environ.get("ZV_EXE", "")
RUNNER = shlex.split(os.environ.get("ZV_RUNNER", ""))
WINE = bool(RUNNER)
SLOW = float(os.environ.get("ZV_SLOW", "1"))
PORT = 5161
BODY = (b'callback({"brand_id":"0","brand_name":"Zorvane","build_version":"2019.322.5000.0",'
        b'"error_code":0,"error_msg":"OK","result":0,"service_name":"ZVAppLdrSvc","version":"5.0.0"})')
RESPONSE = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(BODY), BODY)
GET = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
PIPELINED = (b"GET /1 HTTP/1.1\r\nHost: a\r\n\r\n"
             b"POST /2 HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc"
             b"GET /3 HTTP/1.1\r\nHost: a\r\n\r\n")
TRACE = "[ZVAppLdrService]"
# Everything that runs the service on this machine takes this lock: the port
# and the instance lock exist once per machine.
PORT_LOCK = "/tmp/zv-port5161.lock"


# How long a test waits for another run of these tests (or the benchmark)
# to release the port lock before it gives up.
LOCK_WAIT = 120
# Natively the service listens and a command ends within milliseconds; a
# Wine process needs about a second, more while Wine sets up its prefix.
START_WAIT = 20 if WINE else 10


def limit(seconds):
    return seconds * SLOW


def wait_until(predicate, timeout, step=0.05):
    end = time.monotonic() + limit(timeout)
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def port_answers():
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=1):
            return True
    except OSError:
        return False


def port_is_free():
    probe = socket.socket()
    # Connections of earlier tests lingering in TIME_WAIT do not stop the
    # service from listening, so they must not count as a holder here.
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        probe.bind(("127.0.0.1", PORT))
        probe.listen(1)
        return True
    except OSError as e:
        if e.errno != errno.EADDRINUSE:
            raise
        return False
    finally:
        probe.close()


def command_line(pid, fallback):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            args = f.read().rstrip(b"\0").replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        args = ""
    return args or fallback


def port_holders():
    """The processes listening on the port, as "pid N (command line)"."""
    try:
        ss = subprocess.run(["ss", "-Hltnp", "sport = :%d" % PORT], capture_output=True,
                            text=True, timeout=5)
    except (OSError, subprocess.TimeoutExpired):
        return []
    users = dict((int(pid), name) for name, pid in re.findall(r'\("([^"]*)",pid=(\d+)', ss.stdout))
    return ["pid %d (%s)" % (pid, command_line(pid, name)) for pid, name in sorted(users.items())]


def port_taken_by():
    """None when the service can listen on the port, else who holds it.

    A service that has just been stopped may take a moment to let go (Wine
    closes its sockets after the process ends), hence the short grace."""
    if wait_until(port_is_free, 2 if WINE else 0.5):
        return None
    holders = port_holders()
    return "127.0.0.1:%d is already held by %s" % (
        PORT, ", ".join(holders) if holders else "an unknown process")


def lock_holders(lock):
    inode = os.fstat(lock.fileno()).st_ino
    pids = set()
    try:
        with open("/proc/locks") as f:
            for line in f:
                fields = line.split()
                if "->" not in fields and len(fields) > 5 and fields[5].endswith(":%d" % inode):
                    pids.add(int(fields[4]))
    except (OSError, ValueError):
        pass
    return ["pid %d (%s)" % (pid, command_line(pid, "?")) for pid in sorted(pids)]


def take_port_lock():
    lock = open(PORT_LOCK, "a")
    end = time.monotonic() + LOCK_WAIT
    told = False
    while True:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return lock
        except BlockingIOError:
            pass
        holders = ", ".join(lock_holders(lock)) or "an unknown process"
        if time.monotonic() > end:
            lock.close()
            raise AssertionError("%s is still held after %d s by %s" % (PORT_LOCK, LOCK_WAIT, holders))
        if not told:
            print("\n  waiting up to %d s for %s, held by %s" % (LOCK_WAIT, PORT_LOCK, holders),
                  file=sys.stderr)
            told = True
        time.sleep(0.1)


def recv_exactly(sock, size, timeout=10):
    """Reads size bytes, or fewer if the peer closes first; fails when they
    do not come in time."""
    data = b""
    end = time.monotonic() + limit(timeout)
    while len(data) < size:
        left = end - time.monotonic()
        if left <= 0:
            raise AssertionError("%d of %d bytes within %g s: %r" % (len(data), size, limit(timeout), data[:300]))
        sock.settimeout(left)
        try:
            chunk = sock.recv(size - len(data))
        except socket.timeout:
            continue
        if not chunk:
            break
        data += chunk
    return data


def read_to_eof(sock, timeout):
    """Everything the peer sends until it closes, and how the connection
    ended: "eof", "reset" or "timeout" (nothing ended it within the limit)."""
    data = b""
    end = time.monotonic() + timeout
    while True:
        left = end - time.monotonic()
        if left <= 0:
            return data, "timeout"
        sock.settimeout(left)
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            continue
        except ConnectionResetError:
            return data, "reset"
        if not chunk:
            return data, "eof"
        data += chunk


def tail(text, size=3000):
    return text[-size:]


class Installation:
    """A copy of the executable with its own config.ini and log folder."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zv-e2e-")
        self.exe = os.path.join(self.dir, os.path.basename(EXE))
        shutil.copy2(EXE, self.exe)
        self.logs = os.path.join(self.dir, "logs")
        log_dir = ("Z:" + self.logs.replace("/", "\\")) if WINE else self.logs
        with open(os.path.join(self.dir, "config.ini"), "w") as f:
            f.write("[LOG]\nLOG_DIR=%s\n" % log_dir)

    def command(self, *args):
        return RUNNER + [self.exe] + list(args)

    def start(self, *args, env=None):
        path = os.path.join(self.dir, "stdout-%d.txt" % time.monotonic_ns())
        out = open(path, "w+b")
        proc = subprocess.Popen(self.command(*args), stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, cwd=self.dir,
                                env=dict(os.environ, **(env or {})), start_new_session=True)
        proc.output_file = out
        proc.output_path = path
        return proc

    def run(self, *args, timeout=START_WAIT):
        """Runs the executable to its end; fails if it is still running after
        the time limit (it is killed then, with everything it started)."""
        cmd = self.command(*args)
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, cwd=self.dir, start_new_session=True)
        try:
            out, err = proc.communicate(timeout=limit(timeout))
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            try:
                out, err = proc.communicate(timeout=5)
            except subprocess.TimeoutExpired:
                out, err = b"", b"(its output stayed open)"
            raise AssertionError("%s still running after %g s; output:\n%s\nlog:\n%s" % (
                shlex.join(cmd), limit(timeout), (out + err).decode(errors="replace"),
                tail(self.log()))) from None
        return subprocess.CompletedProcess(cmd, proc.returncode, out, err)

    def log(self):
        text = ""
        if os.path.isdir(self.logs):
            for name in sorted(os.listdir(self.logs)):
                with open(os.path.join(self.logs, name), "rb") as f:
                    text += f.read().decode("latin-1")
        return text

    def clear_log(self):
        shutil.rmtree(self.logs, ignore_errors=True)

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def output(proc):
    try:
        with open(proc.output_path, "rb") as f:
            return tail(f.read().decode(errors="replace"))
    except (AttributeError, OSError):
        return ""


def wait_exit(proc, timeout, what="the service"):
    try:
        return proc.wait(limit(timeout))
    except subprocess.TimeoutExpired:
        raise AssertionError("%s is still running after %g s; output:\n%s"
                             % (what, limit(timeout), output(proc))) from None


def stop(proc, timeout=10):
    """SIGTERM, then SIGKILL to the whole group if the stop takes too long."""
    if proc is None:
        return None
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(limit(timeout))
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            wait_exit(proc, 5, "the service (killed)")
    if getattr(proc, "output_file", None):
        proc.output_file.close()
    return proc.returncode


def wait_listening(inst, proc, timeout=START_WAIT):
    """None once the service answers on the port, else why it does not."""
    if wait_until(lambda: proc.poll() is not None or port_answers(), timeout) and proc.poll() is None:
        return None
    if proc.poll() is None:
        why = "the service did not listen on port %d within %g s" % (PORT, limit(timeout))
    else:
        why = "the service ended with code %d before it listened on port %d" % (proc.returncode, PORT)
    return "%s; output:\n%s\nlog:\n%s" % (why, output(proc), tail(inst.log()))


def holds_port(test):
    """Marks a test that takes the port itself: with the port already taken
    by someone else it cannot tell what it checks, so it is skipped."""
    test.holds_port = True
    return test


class ServiceTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not EXE:
            raise unittest.SkipTest("ZV_EXE is not set")
        cls.lock = take_port_lock()
        cls.inst = Installation()

    @classmethod
    def tearDownClass(cls):
        cls.inst.remove()
        cls.lock.close()

    def setUp(self):
        taken = port_taken_by()
        if taken and getattr(getattr(self, self._testMethodName), "holds_port", False):
            self.skipTest(taken + "; this test takes the port itself")
        if taken:
            self.fail(taken)

    def start(self, *args, env=None):
        """Starts the service; it is stopped when the test ends, whatever happened."""
        proc = self.inst.start(*args, env=env)
        self.addCleanup(stop, proc)
        return proc

    def wait_listening(self, proc, timeout=START_WAIT):
        why = wait_listening(self.inst, proc, timeout)
        if why:
            self.fail(why)

    def wait_for_log(self, text, timeout=10):
        self.assertTrue(wait_until(lambda: text in self.inst.log(), timeout),
                        "%r not in the log within %g s:\n%s" % (text, limit(timeout), tail(self.inst.log())))


class ConsoleTest(ServiceTestCase):
    """One console instance answering real clients."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The instance is shared: when it cannot start, every test says why.
        cls.proc = None
        cls.unavailable = port_taken_by()
        if not cls.unavailable:
            # Without a service manager behind it the program falls back to
            # the console; under Wine "-d" avoids the dispatcher's slow refusal.
            cls.proc = cls.inst.start("-d") if WINE else cls.inst.start()
            cls.unavailable = wait_listening(cls.inst, cls.proc)

    @classmethod
    def tearDownClass(cls):
        stop(cls.proc)
        super().tearDownClass()

    def setUp(self):
        # The port was checked once, before the shared instance started.
        if self.unavailable:
            self.fail(self.unavailable)
        if self.proc.poll() is not None:
            self.fail("the service ended with code %d during the tests; output:\n%s\nlog:\n%s"
                      % (self.proc.returncode, output(self.proc), tail(self.inst.log())))

    def test_curl_gets_the_exact_document(self):
        out = subprocess.run(["curl", "-s", "-i", "--max-time", str(limit(5)),
                              "http://127.0.0.1:%d/" % PORT], capture_output=True, timeout=limit(10))
        self.assertEqual(0, out.returncode)
        self.assertEqual(RESPONSE, out.stdout)

    def test_http_client_any_path_and_post(self):
        conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=10)
        for method, path, body in [("GET", "/", None), ("GET", "/any/path?x=1", None),
                                   ("POST", "/submit", b"a=1&b=2")]:
            with self.subTest(method=method, path=path):
                conn.request(method, path, body=body)
                resp = conn.getresponse()
                data = resp.read()
                self.assertEqual((200, "OK"), (resp.status, resp.reason))
                self.assertEqual([("Content-Length", str(len(BODY)))], resp.getheaders())
                self.assertEqual(BODY, data)
        conn.close()

    def test_kept_alive_connection_gets_identical_answers(self):
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
            for _ in range(2):
                s.sendall(GET)
                self.assertEqual(RESPONSE, recv_exactly(s, len(RESPONSE)))

    def test_pipelined_requests_get_one_answer_each(self):
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
            s.sendall(PIPELINED)
            data = recv_exactly(s, 3 * len(RESPONSE))
            self.assertEqual(RESPONSE * 3, data)
            s.settimeout(0.3)
            with self.assertRaises(socket.timeout):
                s.recv(1)  # nothing more

    def test_http10_closes_after_the_answer(self):
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
            s.sendall(b"GET / HTTP/1.0\r\n\r\n")
            answer = read_to_eof(s, limit(10))
        self.assertEqual((RESPONSE.replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n", 1), "eof"),
                         answer)

    def test_every_half_closed_request_is_answered(self):
        # Clients that send their request and then shut down their side
        # (nc -N, scripted HTTP/1.0 clients) still wait for the answer.
        count, stuck_limit = 1000, 3
        failures = collections.Counter()
        end = time.monotonic() + limit(30)
        sent = 0
        while sent < count and time.monotonic() < end and failures["no end"] < stuck_limit:
            sent += 1
            with socket.create_connection(("127.0.0.1", PORT), timeout=limit(5)) as s:
                s.sendall(GET)
                s.shutdown(socket.SHUT_WR)
                data, ending = read_to_eof(s, min(limit(2), max(0.1, end - time.monotonic())))
            if ending == "timeout":
                failures["no end"] += 1
            elif data == b"":
                failures["closed with nothing" if ending == "eof" else "reset with nothing"] += 1
            elif (data, ending) != (RESPONSE, "eof"):
                failures["%d bytes (%d expected), then %s" % (len(data), len(RESPONSE), ending)] += 1
        self.assertEqual({}, dict(failures), "%d of %d half-closed requests not answered in full"
                         % (sum(failures.values()), sent))
        self.assertEqual(count, sent, "requests made within %g s" % limit(30))

    def test_half_close_after_pipelined_requests_gets_all_three_answers(self):
        rounds, stuck = 100, 0
        failures = collections.Counter()
        for _ in range(rounds):
            with socket.create_connection(("127.0.0.1", PORT), timeout=limit(5)) as s:
                s.sendall(PIPELINED)
                s.shutdown(socket.SHUT_WR)
                data, ending = read_to_eof(s, limit(2))
            if (data, ending) != (RESPONSE * 3, "eof"):
                complete = 0
                while data[complete * len(RESPONSE):(complete + 1) * len(RESPONSE)] == RESPONSE:
                    complete += 1
                failures["%d of 3 answers in %d bytes, then %s" % (complete, len(data), ending)] += 1
                stuck += ending == "timeout"
                if stuck == 3:
                    break
        self.assertEqual({}, dict(failures), "%d of %d connections with three pipelined requests and "
                         "a half-close" % (sum(failures.values()), rounds))

    def test_listens_on_loopback_address_only(self):
        # 127.0.0.2 reaches this host too, but not a socket bound to 127.0.0.1.
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.2", PORT), timeout=5).close()
        if not WINE:
            ss = subprocess.run(["ss", "-Hltn", "sport = :%d" % PORT], capture_output=True, text=True,
                                timeout=5)
            if ss.returncode == 0:
                self.assertEqual(["127.0.0.1:%d" % PORT], [l.split()[3] for l in ss.stdout.splitlines()])

    def test_second_instance_exits(self):
        # "-d" waits for a key (none here) and exits with 0; without an
        # argument the result of the service body comes back.
        runs = [("-d", 0)] if WINE else [("-d", 0), (None, 254)]
        for arg, code in runs:
            with self.subTest(arg=arg):
                before = self.inst.log().count("CreateMutex.Instance error:ERROR_ALREADY_EXISTS")
                out = self.inst.run(*([arg] if arg else []))
                self.assertEqual(code, out.returncode, out)
                self.wait_for_log(TRACE + "CreateMutex.Instance error:ERROR_ALREADY_EXISTS")
                self.assertEqual(before + 1, self.inst.log().count(
                    "CreateMutex.Instance error:ERROR_ALREADY_EXISTS"))
        self.assertTrue(port_answers())

    def test_requests_are_logged(self):
        marker = "[ZVAppLdrService]" + BODY.decode()
        before = self.inst.log().count(marker)
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
            s.sendall(b"GET /logged HTTP/1.1\r\nHost: a\r\n\r\n")
            self.assertEqual(RESPONSE, recv_exactly(s, len(RESPONSE)))
        self.assertTrue(wait_until(lambda: self.inst.log().count(marker) > before, 10),
                        "the answer is not logged within %g s:\n%s" % (limit(10), tail(self.inst.log())))
        for line in ["[ZVAppLdrService]Initialize", "[ZVAppLdrService]start listen port 5161"]:
            self.assertIn(line, self.inst.log())

    @unittest.skipIf(WINE, "the idle-connection check runs on the Linux build")
    def test_ten_thousand_idle_connections_do_not_delay_a_new_one(self):
        count = 10000
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard != resource.RLIM_INFINITY and hard < count + 200:
            self.skipTest("the descriptor limit (%d) is below %d" % (hard, count + 200))
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        idle = []
        end = time.monotonic() + limit(30)
        try:
            for _ in range(count):
                left = end - time.monotonic()
                if left <= 0:
                    self.fail("%d of %d connections made within %g s" % (len(idle), count, limit(30)))
                idle.append(socket.create_connection(("127.0.0.1", PORT), timeout=left))
            # Every connection accepted: each logs a new-connection line.
            best = None
            for _ in range(5):
                start = time.monotonic()
                with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
                    s.sendall(GET)
                    self.assertEqual(RESPONSE, recv_exactly(s, len(RESPONSE)))
                elapsed = time.monotonic() - start
                best = elapsed if best is None else min(best, elapsed)
            print("\n  %d idle connections: a new one answered in %.1f ms" % (count, best * 1000),
                  file=sys.stderr)
            self.assertLess(best, 0.1 * SLOW, "a new request with %d idle connections" % count)
            # The idle ones are still served.
            for s in (idle[0], idle[-1]):
                s.sendall(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n")
                self.assertEqual(RESPONSE, recv_exactly(s, len(RESPONSE)))
        finally:
            for s in idle:
                s.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def take_port():
    holder = socket.socket()
    # Over connections of earlier tests lingering in TIME_WAIT; a listener
    # on the port still refuses every other one.
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("127.0.0.1", PORT))
    holder.listen(1)
    return holder


class LifecycleTest(ServiceTestCase):
    """Start-up failures and orderly stops."""

    def setUp(self):
        super().setUp()
        self.inst.clear_log()

    @holds_port
    def test_port_taken_logs_and_exits_with_the_failure_code(self):
        with take_port():
            # No argument: the body's result is the exit code (the Wine run
            # first waits for the dispatcher to refuse a console process).
            out = self.inst.run(timeout=30 if WINE else START_WAIT)
        log = self.inst.log()
        m = re.search(r"http listen failed, ret= (\d+)", log)
        self.assertIsNotNone(m, log[-3000:])
        self.assertEqual(int(m.group(1)) & 0xFF, out.returncode)
        self.assertNotEqual(0, out.returncode)
        self.assertIn("ERROR: " + TRACE + "Init() failed", log)

    @unittest.skipIf(WINE, "Wine ends a console process without an orderly stop")
    def test_sigterm_stops_in_order(self):
        proc = self.start()
        self.wait_listening(proc)
        started = time.monotonic()
        self.assertEqual(0, stop(proc))
        self.assertGreaterEqual(time.monotonic() - started, 2.9)  # the three-second pause
        log = self.inst.log()
        order = [log.find(TRACE + "OnExit() begin"), log.find(TRACE + "OnExit() end"),
                 log.find("~CRtThreadManager end!")]
        self.assertTrue(-1 not in order and order == sorted(order), log[-3000:])
        self.assertFalse(port_answers())

    @unittest.skipIf(WINE, "systemd runs on Linux")
    def test_systemd_notifications(self):
        notify_path = os.path.join(self.inst.dir, "notify")
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
            notify.bind(notify_path)
            proc = self.start(env={"NOTIFY_SOCKET": notify_path})

            def next_state():
                return self.notification(notify, proc).split("\n")[0]

            self.assertEqual("STATUS=starting", next_state())
            self.assertEqual("READY=1", next_state())
            self.assertTrue(port_answers())
            proc.send_signal(signal.SIGTERM)
            self.assertEqual("STOPPING=1", next_state())
            self.assertEqual("STATUS=stopped", next_state())
            # "Stopped" is said only once the stop work is done.
            self.assertIn(TRACE + "OnExit() end", self.inst.log())
            self.assertEqual(0, wait_exit(proc, 10))
        self.assertIn(TRACE + "StartNTService() ret = 1", self.inst.log())

    def notification(self, notify, proc, timeout=20):
        notify.settimeout(limit(timeout))
        try:
            return notify.recv(4096).decode()
        except socket.timeout:
            self.fail("no notification from the service within %g s (it %s); log:\n%s" % (
                limit(timeout), "runs" if proc.poll() is None else "ended with code %d" % proc.returncode,
                tail(self.inst.log())))

    @unittest.skipIf(WINE, "systemd runs on Linux")
    @holds_port
    def test_systemd_start_failure_is_reported(self):
        notify_path = os.path.join(self.inst.dir, "notify-fail")
        with take_port(), socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
            notify.bind(notify_path)
            proc = self.start(env={"NOTIFY_SOCKET": notify_path})
            self.assertEqual("STATUS=starting", self.notification(notify, proc))
            self.assertRegex(self.notification(notify, proc), r"^STATUS=failed to start, code \d+$")
            self.assertEqual(0, wait_exit(proc, 10))

    @unittest.skipIf(WINE or os.path.isdir("/run/systemd/system"),
                     "needs a machine where systemd is not running")
    def test_install_and_remove_say_systemd_is_missing(self):
        for arg, what in [("-i", "install"), ("-U", "remove")]:
            with self.subTest(arg=arg):
                out = self.inst.run(arg)
                self.assertEqual(1, out.returncode)
                lines = out.stderr.decode().splitlines()
                self.assertEqual(["ZVAppLdrSvc: cannot %s the service: systemd is not running on this machine"
                                  % what], lines)

    def test_unknown_argument_does_nothing(self):
        out = self.inst.run("-x")
        self.assertEqual(0, out.returncode)
        self.assertEqual(b"", out.stdout + out.stderr)
        self.assertFalse(port_answers())


@unittest.skipUnless(WINE, "the Service Control Manager is Windows'")
class ServiceManagerTest(ServiceTestCase):
    """Install, start, stop and remove through Wine's Service Control Manager."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Wine ends service processes with the last ordinary process; a
        # persistent server keeps the service alive between our commands.
        # Its output goes nowhere: a server holding our pipes would keep
        # ctest waiting after the tests.
        cls.wineserver = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver64")
        subprocess.run([cls.wineserver, "-p"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False, timeout=30)
        cls.inst.run("-u", timeout=30)  # left over from an interrupted run

    @classmethod
    def tearDownClass(cls):
        try:
            cls.inst.run("-u", timeout=30)
        finally:
            subprocess.run([cls.wineserver, "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False, timeout=30)
            super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.inst.clear_log()

    def test_install_start_again_and_remove(self):
        out = self.inst.run("-i", timeout=30)
        self.assertEqual(0, out.returncode, out)
        self.assertTrue(wait_until(port_answers, 20), "the service does not answer on port %d" % PORT)
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
            s.sendall(GET)
            self.assertEqual(RESPONSE, recv_exactly(s, len(RESPONSE)))
        self.assertEqual(1, self.inst.log().count(TRACE + "Initialize"))

        # Installed and running: nothing changes.
        out = self.inst.run("-I", timeout=30)
        self.assertEqual(0, out.returncode, out)
        self.assertEqual(2, self.inst.log().count(TRACE + "start services"))
        self.assertEqual(1, self.inst.log().count(TRACE + "Initialize"))
        self.assertTrue(port_answers())

        out = self.inst.run("-u", timeout=30)
        self.assertEqual(0, out.returncode, out)
        self.assertFalse(port_answers())
        # The dispatcher returns only after the stop work, then the framework
        # is released.
        self.wait_for_log("~CRtThreadManager end!")
        log = self.inst.log()
        order = [log.find(TRACE + "OnExit() begin"), log.find(TRACE + "OnExit() end"),
                 log.find(TRACE + "StartNTService() ret = 1")]
        self.assertTrue(-1 not in order and order == sorted(order), log[-3000:])

        out = self.inst.run("-u", timeout=30)
        self.assertEqual(1, out.returncode)
        self.assertRegex(out.stderr.decode(), r"^ZVAppLdrSvc: cannot remove the service: .+\n$")

    @holds_port
    def test_failed_start_is_reported_not_left_pending(self):
        with take_port():
            out = self.inst.run("-i", timeout=60)
            self.assertEqual(1, out.returncode, out)
            self.assertRegex(out.stderr.decode(), r"^ZVAppLdrSvc: cannot start the service: .+\n$")
            self.wait_for_log(TRACE + "StartNTService() ret = 1")
            self.assertIn(TRACE + "Init() failed", self.inst.log())
        out = self.inst.run("-u", timeout=30)
        self.assertEqual(0, out.returncode, out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
