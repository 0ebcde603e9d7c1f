"""A throw-away local Redis server for the demo, the benchmarks and the tests.

The client always talks to port 6379, so servers are told apart by their loopback address:
each one binds an address of its own in 127.0.0.0/8. Nothing is persisted and nothing leaves
the machine.
"""

from __future__ import annotations

import os
import random
import shutil
import socket
import subprocess
import tempfile
import time
from typing import Mapping

PORT = 6379
LOCAL_LABEL = "上海-1"      # the host table label of a single local server


def client_class(hosts: Mapping[str, str]) -> type:
    """A TesselClient subclass whose host table is ``hosts`` ({label: host, ...} in order):
    the way to point the client at a service of one's own."""
    from marvane.TSClient import TesselClient

    table = dict(hosts)

    class ServiceClient(TesselClient):
        def get_host_info(self) -> dict[str, str]:
            return dict(table)

    return ServiceClient


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


def free_loopback_address(start: int = 2) -> str:
    """A loopback address on which nothing listens on the client's port yet.

    Addresses are drawn at random, so that processes starting servers at the same time
    rarely reach for the same one (LocalRedis still retries when one is taken meanwhile).
    """
    pick = random.Random()
    for _ in range(5000):
        host = f"127.{pick.randrange(start, 255)}.{pick.randrange(1, 255)}.1"
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind((host, PORT))
            except OSError:
                continue
        return host
    raise RuntimeError("no free loopback address for a local Redis server")


class AddressTaken(RuntimeError):
    """The server's address was taken by another process before the server bound it."""


class LocalRedis:
    """A redis-server on ``host``:6379 with a password, stopped by :meth:`stop`.

    Use it as a context manager::

        with LocalRedis(password="acct:token") as server:
            server.seed({"ts1-close-202401": pickle.dumps(df)})
    """

    def __init__(self, password: str, host: str | None = None, executable: str | None = None):
        self.password = password
        self._host_chosen = host is None
        self.host = host or free_loopback_address()
        self.executable = executable or find_redis_server()
        self.process: subprocess.Popen[bytes] | None = None
        self._dir: tempfile.TemporaryDirectory[str] | None = None

    def start(self, timeout: float = 10.0) -> "LocalRedis":
        for _ in range(5):
            try:
                return self._start_once(timeout)
            except AddressTaken:
                if not self._host_chosen:
                    raise
                self.host = free_loopback_address()  # another process took it meanwhile
        return self._start_once(timeout)

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
                # The answer must come from this server, not from another one that holds the
                # address already (this one then fails to bind and exits).
                if self.client().info("server").get("process_id") == self.process.pid:
                    return self
                raise ConnectionError("another server answers on this address")
            except Exception:
                if self.process.poll() is not None:
                    text = self._log()
                    self.stop()
                    if "Address already in use" in text:
                        raise AddressTaken(self.host)
                    raise RuntimeError(f"redis-server on {self.host} exited at start:\n{text}")
                if time.monotonic() > deadline:
                    self.stop()
                    raise
            time.sleep(0.02)

    def _log(self) -> str:
        log = os.path.join(self._dir.name, "redis.log") if self._dir else ""
        if not log or not os.path.exists(log):
            return ""
        with open(log, encoding="utf-8", errors="replace") as f:
            return f.read()

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
