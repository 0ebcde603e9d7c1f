"""A throw-away local Redis server for the demo, the benchmarks and the tests.

The client always talks to port 6379, so servers are told apart by their loopback address:
each one binds an address of its own in 127.0.0.0/8. Nothing is persisted and nothing leaves
the machine.
"""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time
from typing import Mapping

PORT = 6379


class RedisServerMissing(RuntimeError):
    """redis-server is not installed."""


def find_redis_server() -> str:
    """Path of the redis-server executable, or RedisServerMissing saying how to install it."""
    for candidate in (shutil.which("redis-server"), "/usr/bin/redis-server", "/usr/sbin/redis-server"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise RedisServerMissing(
        "redis-server was not found. Install it first, for example on Debian or Ubuntu:\n"
        "    sudo apt-get install -y redis-server"
    )


class _AddressTaken(RuntimeError):
    """The server could not bind its address: another process holds it."""


def _taken(host: str) -> bool:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.bind((host, PORT))
        except OSError:
            return True
    return False


def free_loopback_address(start: int = 2) -> str:
    """A loopback address on which nothing listens on the client's port yet."""
    pid = os.getpid() % 200
    for second in range(start, 250):
        for third in range(1, 250):
            host = f"127.{second}.{(third + pid) % 250 + 1}.1"
            if not _taken(host):
                return host
    raise RuntimeError("no free loopback address for a local Redis server")


class LocalRedis:
    """A redis-server on ``host``:6379 with a password, stopped by :meth:`stop`.

    Use it as a context manager::

        with LocalRedis(password="acct:token") as server:
            server.seed({"ts1-close-202401": pickle.dumps(df)})
    """

    def __init__(self, password: str, host: str | None = None, executable: str | None = None):
        self.password = password
        self._own_choice = host is None
        self.host = host or free_loopback_address()
        self.executable = executable or find_redis_server()
        self.process: subprocess.Popen[bytes] | None = None
        self._dir: tempfile.TemporaryDirectory[str] | None = None

    def start(self, timeout: float = 10.0) -> "LocalRedis":
        # Another process can take the address between its probe and the server's bind: an
        # address we chose ourselves is then given up for the next free one.
        for _ in range(20):
            try:
                return self._start_once(timeout)
            except _AddressTaken:
                if not self._own_choice:
                    raise
                self.host = free_loopback_address()
        raise RuntimeError("no loopback address stayed free long enough for a local Redis server")

    def _start_once(self, timeout: float) -> "LocalRedis":
        self._dir = tempfile.TemporaryDirectory(prefix="marvane-redis-")
        args = [
            self.executable,
            "--bind", self.host,
            "--port", str(PORT),
            "--requirepass", self.password,
            "--save", "",
            "--appendonly", "no",
            "--dir", self._dir.name,
            "--logfile", os.path.join(self._dir.name, "redis.log"),
        ]
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while True:
            try:
                # Only our own process counts: a server another process started on the same
                # address (with the same password) would answer a ping just as well.
                with self.client() as c:
                    if c.info("server").get("process_id") == self.process.pid:
                        return self
            except Exception:
                if self.process.poll() is None and time.monotonic() > deadline:
                    self.stop()
                    raise
            if self.process.poll() is not None:
                log = os.path.join(self._dir.name, "redis.log")
                text = ""
                if os.path.exists(log):
                    with open(log, encoding="utf-8", errors="replace") as f:
                        text = f.read()
                taken = _taken(self.host)
                self.stop()
                raise (_AddressTaken if taken else RuntimeError)(
                    f"redis-server on {self.host} exited at start:\n{text}")
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"another server answers on {self.host}:{PORT}")
            time.sleep(0.02)

    def client(self):
        """A redis-py client of this server (replies not decoded)."""
        import redis

        return redis.Redis(host=self.host, port=PORT, password=self.password)

    def seed(self, values: Mapping[str, bytes]) -> None:
        """Store raw values (normally pickled DataFrames) under their keys."""
        if values:
            self.client().mset(dict(values))

    def stop(self) -> None:
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            self.process = None
        if self._dir is not None:
            self._dir.cleanup()
            self._dir = None

    def __enter__(self) -> "LocalRedis":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
