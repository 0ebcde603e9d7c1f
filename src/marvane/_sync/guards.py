"""What surrounds a run: the store's lock, the library's output, the bound on every reply of
the service, and SIGTERM / SIGINT stopping the run between writes."""

from __future__ import annotations

import contextlib
import datetime as dt
import errno
import fcntl
import functools
import io
import os
import signal
import stat
import threading
import time
import types
from typing import Any, Iterator

from marvane._sync.settings import UsageError


LOCK_NAME = ".marvane-sync.lock"
EXIT_SIGNALLED = {signal.SIGTERM: 143, signal.SIGINT: 130}


class StoreLocked(Exception):
    """Another run holds the store's lock for longer than the wait allowed."""


class Interrupted(BaseException):
    """SIGTERM or SIGINT arrived: the run stops once the writes under way are done."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


@contextlib.contextmanager
def store_lock(store: str, wait: float, poll: float = 0.1) -> Iterator[None]:
    """Hold the store's lock file; wait at most ``wait`` seconds for another run to let go.

    The lock is an advisory lock on an open file, so it goes away with its process even when
    that process is killed. The file itself is kept.
    """
    path = os.path.join(store, LOCK_NAME)
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                     0o644)
    except OSError as exc:
        raise UsageError(f"cannot open the lock file {path}: {exc.strerror}") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise UsageError(f"the lock file {path} is not a regular file")
        deadline = time.monotonic() + wait
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except OSError as exc:
                if exc.errno not in (errno.EAGAIN, errno.EACCES):
                    raise
            if time.monotonic() >= deadline:
                holder = os.pread(fd, 200, 0).decode("utf-8", "replace").strip()
                raise StoreLocked(f"the store {store} is in use by another sync"
                                  f"{' (' + holder + ')' if holder else ''}; "
                                  f"gave up after waiting {wait:g} s")
            time.sleep(poll)
        with contextlib.suppress(OSError):      # who holds it is said when there is room
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"pid {os.getpid()}, since {dt.datetime.now():%Y-%m-%d %H:%M:%S}\n"
                      .encode(), 0)
        yield
    finally:
        os.close(fd)


@contextlib.contextmanager
def library_output(verbose: bool, bars: bool) -> Iterator[None]:
    """Hide the library's own printed lines unless ``verbose``, and its progress bars
    unless ``bars``. The modules look up ``tqdm`` at call time, so it is swapped there."""
    import marvane.FrameStore as fs
    import marvane.TSClient as tc

    originals = (fs.tqdm, tc.tqdm)
    if not bars:
        fs.tqdm = functools.partial(originals[0], disable=True)
        tc.tqdm = functools.partial(originals[1], disable=True)
    try:
        if verbose:
            yield
        else:
            with contextlib.redirect_stdout(io.StringIO()):
                yield
    finally:
        fs.tqdm, tc.tqdm = originals


@contextlib.contextmanager
def bounded_service(timeout: float) -> Iterator[None]:
    """Every connection the client makes waits at most ``timeout`` seconds to connect and for
    each reply, and is not retried: a service that stops answering fails the request. The
    client module looks up ``redis`` at call time, so a stand-in is put there for the run and
    the library's own behaviour is left as it is for its other callers."""
    import marvane.TSClient as tc
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    original = tc.redis
    silent: set[Any] = set()     # hosts whose ping went unanswered in this run

    class BoundedRedis(original.Redis):  # type: ignore[misc, name-defined]
        def ping(self, *args: Any, **kwargs: Any) -> Any:
            try:
                return super().ping(*args, **kwargs)
            except original.exceptions.TimeoutError:
                silent.add(self.connection_pool.connection_kwargs.get("host"))
                raise

    def bounded_redis(*args: Any, **kwargs: Any) -> Any:
        # the login pings each host to measure it, then the one chosen: a host that left the
        # first ping unanswered is not waited for a second time
        if kwargs.get("host") in silent:
            raise original.exceptions.TimeoutError(
                f"{kwargs['host']} did not answer a ping within {timeout:g} s")
        kwargs.setdefault("socket_timeout", timeout)
        kwargs.setdefault("socket_connect_timeout", timeout)
        kwargs.setdefault("retry", Retry(NoBackoff(), 0))
        return BoundedRedis(*args, **kwargs)

    stand_in = types.ModuleType(original.__name__)
    stand_in.__dict__.update({k: v for k, v in vars(original).items() if not k.startswith("__")})
    stand_in.Redis = bounded_redis  # type: ignore[attr-defined]
    tc.redis = stand_in
    try:
        yield
    finally:
        tc.redis = original


def service_error(exc: BaseException) -> bool:
    """Whether ``exc`` (or what caused it) is the service not answering in time."""
    import redis

    seen = 0
    while exc is not None and seen < 10:
        if isinstance(exc, (redis.exceptions.TimeoutError, TimeoutError)):
            return True
        exc, seen = exc.__cause__ or exc.__context__, seen + 1
    return False


class SignalState:
    """The signals a run received; while ``armed`` (the client's work on the service and the
    store), the first one raises Interrupted there, elsewhere the run stops at its next check."""
    received: list[int] = []
    armed = False


@contextlib.contextmanager
def interruptible() -> Iterator[None]:
    """SIGTERM or SIGINT raise Interrupted within this block (once per run): the store's
    writes under way finish, as its thread pools are waited for, and no other is started."""
    was, SignalState.armed = SignalState.armed, True
    try:
        if SignalState.received and not was:
            raise Interrupted(SignalState.received[0])
        yield
    finally:
        SignalState.armed = was


@contextlib.contextmanager
def stop_on_signals() -> Iterator[list[int]]:
    """Handle SIGTERM and SIGINT for one run; yields the list of signals received."""
    received: list[int] = []
    SignalState.received, SignalState.armed = received, False
    if threading.current_thread() is not threading.main_thread():
        yield received
        return

    def handler(signum: int, frame: Any) -> None:
        received.append(signum)
        if len(received) == 1 and SignalState.armed:
            SignalState.armed = False
            raise Interrupted(signum)

    previous = {s: signal.signal(s, handler) for s in EXIT_SIGNALLED}
    try:
        yield received
    finally:
        for s, h in previous.items():
            signal.signal(s, h)
