"""Interleaved rounds and the timing helpers."""

import time

from harness.measure import Contender, interleave, ns_per_call, seconds, use_clock


def test_every_contender_runs_once_per_round_in_rotating_order():
    calls = []

    def contender(name):
        return Contender(name, lambda: calls.append(name) or len(calls))

    results = interleave([contender("a"), contender("b"), contender("c")], rounds=3,
                         warmup=False)
    assert calls == ["a", "b", "c", "b", "c", "a", "c", "a", "b"]
    assert all(len(samples.values) == 3 for samples in results.values())


def test_warmup_runs_are_not_kept():
    counter = iter(range(100, 200))
    results = interleave([Contender("a", lambda: next(counter))], rounds=2)
    assert results["a"].values == [101.0, 102.0]


def test_a_failing_contender_is_reported_and_not_run_again():
    attempts = []

    def broken():
        attempts.append(1)
        raise ValueError("peer missing")

    messages = []
    results = interleave([Contender("ok", lambda: 1.0), Contender("bad", broken)], rounds=3,
                         progress=messages.append)
    assert len(attempts) == 1
    assert results["bad"].error == "ValueError: peer missing"
    assert results["bad"].median is None
    assert results["ok"].median == 1.0
    assert any("bad failed" in message for message in messages)


class SlowToFree:
    def __del__(self):
        time.sleep(0.2)


def test_seconds_does_not_charge_freeing_the_result():
    assert seconds(SlowToFree) < 0.1


def test_ns_per_call_divides_by_the_number_of_points():
    calls = []
    figure = ns_per_call(lambda lat, lon: calls.append((lat, lon)), [(1.0, 2.0)] * 4)
    assert len(calls) == 4 and figure > 0


def test_cpu_clock_leaves_out_time_spent_waiting():
    try:
        use_clock("cpu")
        assert seconds(lambda: time.sleep(0.2)) < 0.1
    finally:
        use_clock("wall")
    assert seconds(lambda: time.sleep(0.05)) >= 0.05
