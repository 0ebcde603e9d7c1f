"""Fixtures for the client tests: throw-away redis-server processes on loopback addresses.

The client always connects to port 6379 of the hosts its `get_host_info` names, so the tests
point it at their own servers the way the README tells users to reach their own service: a
subclass overriding `get_host_info`.
"""

import pickle
import socket

import pytest

from marvane import _localserver
from marvane._localserver import LOCAL_LABEL, LocalRedis, free_loopback_address

ACCOUNT = "acct"
TOKEN = "tok-123"
PASSWORD = f"{ACCOUNT}:{TOKEN}"


def client_class(**hosts):
    """A TesselClient subclass whose host table is {label: host, ...} in the given order."""
    return _localserver.client_class(hosts)


def local_client(host):
    return _localserver.client_class({LOCAL_LABEL: host})


def dumps(obj, protocol=pickle.HIGHEST_PROTOCOL):
    return pickle.dumps(obj, protocol=protocol)


@pytest.fixture
def server():
    """A fresh, empty, password-protected redis-server on a loopback address of its own."""
    with LocalRedis(password=PASSWORD) as s:
        yield s


@pytest.fixture
def second_server(server):
    with LocalRedis(password=PASSWORD, host=free_loopback_address(start=120)) as s:
        yield s


@pytest.fixture
def silent_host():
    """A loopback address where nothing listens on the client's port."""
    host = free_loopback_address(start=200)
    with socket.socket() as probe:
        assert probe.connect_ex((host, 6379)) != 0
    return host


@pytest.fixture
def login(server, tmp_path, capsys):
    """Log a client in to `server` (seed it first); the login's printed lines are consumed."""

    def make(seed=None, save_path=None):
        server.seed(seed or {})
        client = local_client(server.host)(ACCOUNT, TOKEN, save_path or str(tmp_path / "store"))
        capsys.readouterr()
        return client

    return make
