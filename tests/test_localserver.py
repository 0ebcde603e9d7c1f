"""The throw-away local server used by the demo, the benchmarks and the tests."""

import pytest

from marvane._localserver import AddressTaken, LocalRedis


@pytest.mark.parametrize("chosen_by_caller", [True, False])
def test_an_address_held_by_another_server_is_never_mistaken_for_ours(chosen_by_caller):
    with LocalRedis("acct:tok") as first:
        second = LocalRedis("acct:tok", host=first.host)
        second._host_chosen = not chosen_by_caller
        if chosen_by_caller:
            with pytest.raises(AddressTaken):
                second.start()
            return
        with second:
            assert second.host != first.host
            info = second.client().info("server")
            assert info["process_id"] == second.process.pid
        assert first.client().ping()
