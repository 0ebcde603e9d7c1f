"""Login against real redis-server processes: printed lines, failures, host choice, keys."""

import os
import re

import pytest
import redis

import marvane.TSClient as ts
from redis_fixtures import ACCOUNT, PASSWORD, TOKEN, client_class, local_client

BANNER = re.compile(r"Tessel 上海-1 \| Ping: (\d+\.\d{1,2})ms")


class TestConstruction:
    def test_creates_missing_dir_and_prints_three_lines(self, server, tmp_path, capsys):
        save = tmp_path / "a" / "b" / "store"
        client = local_client(server.host)(ACCOUNT, TOKEN, str(save))
        banner, auth, created = capsys.readouterr().out.splitlines()
        assert BANNER.fullmatch(banner) and float(BANNER.fullmatch(banner)[1]) > 0
        assert auth == f"Auth Succeeded: {ACCOUNT}"
        assert created == f"Creating Saving Dir: {save}"
        assert save.is_dir()
        assert vars(client).keys() >= {"account", "api_token", "r", "keys", "r_category", "save_path", "TS_db"}
        assert (client.account, client.api_token, client.save_path) == (ACCOUNT, TOKEN, str(save))
        assert client.TS_db.root_dir == str(save)

    @pytest.mark.parametrize("make_path", [lambda p: p, str], ids=["pathlike", "str"])
    def test_existing_dir_is_found(self, server, tmp_path, capsys, make_path):
        save = make_path(tmp_path)
        client = local_client(server.host)(ACCOUNT, TOKEN, save)
        assert capsys.readouterr().out.splitlines()[2] == f"Found Saving Dir: {tmp_path}"
        assert client.save_path is save

    # The banner shows the failed probe's int 999 ("999", not "999.0"), and nothing else is
    # printed: the probe folds the failure silently, the login raises it.
    def test_wrong_password_raises_before_touching_disk(self, server, tmp_path, capsys):
        save = tmp_path / "never"
        with pytest.raises(redis.AuthenticationError):
            local_client(server.host)(ACCOUNT, "wrong", str(save))
        assert capsys.readouterr().out == "Tessel 上海-1 | Ping: 999ms\n"
        assert not save.exists()

    def test_unreachable_host(self, silent_host, tmp_path, capsys):
        with pytest.raises(redis.ConnectionError):
            local_client(silent_host)(ACCOUNT, TOKEN, str(tmp_path / "never"))
        assert capsys.readouterr().out == "Tessel 上海-1 | Ping: 999ms\n"
        assert not (tmp_path / "never").exists()


class TestKeys:
    def test_keys_in_server_order_and_sorted_categories(self, login):
        client = login({"ts1-b": b"1", "ts1-a-202401": b"2", "ts1-a-202402": b"3", "x-c-1": b"4"})
        assert sorted(client.keys) == ["ts1-a-202401", "ts1-a-202402", "ts1-b", "x-c-1"]
        assert client.keys == [k.decode() for k in client.r.keys()]
        assert client.r_category == ["a", "b", "c"]

    def test_empty_database(self, login):
        client = login()
        assert client.keys == [] and client.r_category == []

    def test_foreign_key_names_do_not_fail_the_login(self, login):
        client = login({b"ts1-\xff\xfe-202401": b"1", "plain": b"2", "ts1-ok": b"3"})
        assert sorted(client.keys) == ["plain", "ts1-\\xff\\xfe-202401", "ts1-ok"]
        assert client.r_category == ["\\xff\\xfe", "ok"]

    def test_second_auth_replaces_connection_and_lists(self, login, server, capsys):
        client = login({"ts1-a": b"1"})
        first = client.r
        server.seed({"ts1-z-202401": b"2"})
        assert client.auth(ACCOUNT, TOKEN) is None
        out = capsys.readouterr().out.splitlines()
        assert BANNER.fullmatch(out[0]) and out[1:] == [f"Auth Succeeded: {ACCOUNT}"]
        assert client.r is not first and sorted(client.keys) == ["ts1-a", "ts1-z-202401"]
        assert client.r_category == ["a", "z"]


class TestProbes:
    def test_probe_of_live_host_is_a_rounded_float(self, server):
        for where in (ts.TesselClient, ts.TesselClient.__new__(ts.TesselClient)):
            ms = where.get_auth_ping(server.host, ACCOUNT, TOKEN)
            assert type(ms) is float and ms > 0 and round(ms, 2) == ms

    def test_measure_latency_propagates_ping_errors(self):
        class Broken:
            def ping(self):
                raise redis.TimeoutError("slow")

        with pytest.raises(redis.TimeoutError, match="slow"):
            ts.TesselClient.measure_latency(Broken())


class FakeRedisModule:
    """Replaces marvane.TSClient.redis: records every Redis(...) call; each host's PING takes
    latencies[host] ms on the module's own clock (`.clock` replaces marvane.TSClient.time), or
    raises when the host is down."""

    def __init__(self, behaviour, latencies=None):
        self.behaviour, self.latencies = behaviour, latencies or {}
        self.calls = []
        self.now = 0.0
        self.clock = type("Clock", (), {"time": lambda _: self.now})()

    def Redis(self, **kwargs):
        self.calls.append(kwargs)
        host, module = kwargs["host"], self

        class Conn:
            def ping(self):
                if module.behaviour[host] == "down":
                    raise ConnectionError(f"{host} is down")
                module.now += module.latencies.get(host, 0) / 1000
                return True

            def keys(self):
                return [b"ts1-k"]

        return Conn()


class TestHostChoice:
    def test_two_real_servers_both_probed_faster_chosen(self, server, second_server, tmp_path, capsys):
        client = client_class(**{"甲": server.host, "乙": second_server.host})(ACCOUNT, TOKEN, str(tmp_path))
        banner = capsys.readouterr().out.splitlines()[0]
        label = re.fullmatch(r"Tessel (甲|乙) \| Ping: \d+\.\d+ms", banner)[1]
        chosen = {"甲": server.host, "乙": second_server.host}[label]
        assert client.r.connection_pool.connection_kwargs["host"] == chosen

    @pytest.mark.parametrize("latencies, behaviour, chosen, shown", [
        ({"h1": 5.0, "h2": 5.0}, {"h1": "ok", "h2": "ok"}, "one", "5.0"),      # tie: first listed
        ({"h1": 7.5, "h2": 2.25}, {"h1": "ok", "h2": "ok"}, "two", "2.25"),
        ({"h1": 0, "h2": 1200.5}, {"h1": "down", "h2": "ok"}, "two", "1200.5"),  # live beats failed
        ({"h1": 999.0, "h2": 0}, {"h1": "ok", "h2": "down"}, "one", "999.0"),
        ({"h1": 0, "h2": 0}, {"h1": "down", "h2": "down"}, "one", "999"),
    ])
    def test_choice_with_fake_connections_and_clock(self, monkeypatch, tmp_path, capsys,
                                                    latencies, behaviour, chosen, shown):
        fake = FakeRedisModule(behaviour, latencies)
        monkeypatch.setattr(ts, "redis", fake)
        monkeypatch.setattr(ts, "time", fake.clock)
        cls = client_class(one="h1", two="h2")
        host = {"one": "h1", "two": "h2"}[chosen]
        if behaviour[host] == "down":
            with pytest.raises(ConnectionError, match=f"{host} is down"):
                cls(ACCOUNT, TOKEN, str(tmp_path))
            assert capsys.readouterr().out == f"Tessel {chosen} | Ping: {shown}ms\n"
            return
        client = cls(ACCOUNT, TOKEN, str(tmp_path))
        assert capsys.readouterr().out.splitlines()[:2] == [f"Tessel {chosen} | Ping: {shown}ms",
                                                            f"Auth Succeeded: {ACCOUNT}"]
        expected = [dict(host=h, port=6379, password=PASSWORD) for h in ("h1", "h2", host)]
        assert fake.calls == expected and client.keys == ["ts1-k"]

    def test_ping_false_sets_no_lists(self, monkeypatch, tmp_path, capsys):
        class Refusing:
            def Redis(self, **kwargs):
                return type("Conn", (), {"ping": lambda self: False})()

        monkeypatch.setattr(ts, "redis", Refusing())
        client = local_client("h")(ACCOUNT, TOKEN, str(tmp_path))
        assert capsys.readouterr().out.splitlines()[1] == f"Found Saving Dir: {tmp_path}"
        assert "keys" not in vars(client) and "r_category" not in vars(client)

    def test_empty_host_table(self, tmp_path, capsys):
        # min's own error, as min(ping_dict, key=ping_dict.get) raises it on this interpreter
        with pytest.raises(ValueError) as expected:
            min({}, key={}.get)
        with pytest.raises(ValueError) as raised:
            client_class()(ACCOUNT, TOKEN, str(tmp_path / "x"))
        assert str(raised.value) == str(expected.value)
        assert capsys.readouterr().out == "" and not os.path.exists(tmp_path / "x")

    def test_password_uses_string_forms(self, monkeypatch, tmp_path):
        fake = FakeRedisModule({"h": "ok"})
        monkeypatch.setattr(ts, "redis", fake)
        local_client("h")(12, 3.5, str(tmp_path))
        assert {c["password"] for c in fake.calls} == {"12:3.5"}
