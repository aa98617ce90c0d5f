"""Random use of Quillometer compared, bit for bit, with a small pure-Python model."""

import os
import random

from conftest import QUERIES, Quillometer, bits, outcome, panic_class
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule
from model import ColumnModel

PanicException = panic_class()


def test_model_matches_worked_examples():
    # The model itself, on results worked out by hand.
    c = ColumnModel(10, 0.5, 100)
    for i, x in enumerate([1.0, 2.0, 3.0, 4.0]):
        c.update(x, i)
    assert (c.variance(), c.rolling_std(), c.zscore(), c.rate()) == (
        1.25,
        1.118033988749895,
        1.3416407864998738,
        0.04,
    )
    c = ColumnModel(2, 0.5, 100)
    for i, x in enumerate([0.1, 0.2, 0.3]):
        c.update(x, i)
    assert c.rolling_mean() == 0.25000000000000006
    c = ColumnModel(3, 0.5, 10)
    for x, ts in [(1.0, -1), (3.0, 2**63 - 1)]:
        c.update(x, ts)
    assert len(c.times) == 1


NAME = st.text(alphabet="abAB \u00e9\x00", max_size=3)
VALUE = st.one_of(
    st.sampled_from([0.0, -0.0, 0.1, 0.3, 1.0, 2.5, -7.0, 1e300, 5e-324]),
    st.floats(min_value=-1e6, max_value=1e6, allow_nan=False),
    st.floats(),
)
TIMESTAMP = st.one_of(
    st.integers(-5, 80),
    st.sampled_from([-(2**63), -(2**63) + 1, -2, -1, 2**62, 2**63 - 2, 2**63 - 1]),
)


class QuillometerMachine(RuleBasedStateMachine):
    @initialize(
        names=st.lists(NAME, max_size=4),
        window_size=st.one_of(st.integers(0, 6), st.just(50)),
        alpha=st.one_of(st.sampled_from([0.5, 0.1, 0.9, 1.0, 0.0]), st.floats()),
        time_window=st.one_of(
            st.integers(-3, 25), st.sampled_from([0, 2**62, 2**63 - 1, -(2**63)])
        ),
    )
    def build(self, names, window_size, alpha, time_window):
        self.q = Quillometer(names, window_size, alpha, time_window)
        self.model = {name: ColumnModel(window_size, alpha, time_window) for name in names}

    def unknown_name(self, data):
        name = data.draw(NAME)
        while name in self.model:
            name += "?"
        return name

    @rule(data=st.data(), ts=TIMESTAMP)
    def append(self, data, ts):
        names = sorted(self.model)
        row = data.draw(st.dictionaries(st.sampled_from(names), VALUE) if names else st.just({}))
        assert self.q.append(row, ts) is None
        for name, x in row.items():
            self.model[name].update(x, ts)

    @rule(data=st.data(), ts=TIMESTAMP)
    def append_naming_an_unknown_column(self, data, ts):
        names = sorted(self.model)
        row = data.draw(st.dictionaries(st.sampled_from(names), VALUE) if names else st.just({}))
        missing = self.unknown_name(data)
        row[missing] = data.draw(VALUE)
        message = f"Column '{missing}' does not exist"
        got = outcome(lambda: self.q.append(row, ts))
        assert got == ("raised", PanicException, message, (message,))
        # nothing of the row is applied: the model stays as it was

    @precondition(lambda self: self.model)
    @rule(data=st.data(), query=st.sampled_from(QUERIES))
    def query(self, data, query):
        name = data.draw(st.sampled_from(sorted(self.model)))
        assert bits(getattr(self.q, query)(name)) == bits(getattr(self.model[name], query)())

    @rule(data=st.data(), query=st.sampled_from(QUERIES))
    def query_unknown_column(self, data, query):
        name = self.unknown_name(data)
        got = outcome(lambda: getattr(self.q, query)(name))
        assert got == (
            "raised",
            PanicException,
            "Column does not exist",
            ("Column does not exist",),
        )

    @invariant()
    def every_statistic_matches(self):
        if not hasattr(self, "q"):
            return
        for name, column in self.model.items():
            got = {query: bits(getattr(self.q, query)(name)) for query in QUERIES}
            expected = {query: bits(getattr(column, query)()) for query in QUERIES}
            assert got == expected, name


# Under emulation (the aarch64 wheels under qemu-user) the programs are ~50 times slower, so
# check-wheel asks for fewer of them there.
QuillometerMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("QUILLOMETER_STATEFUL_EXAMPLES", "150")),
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestQuillometer = QuillometerMachine.TestCase


def test_long_random_stream_matches_the_model():
    """Thousands of appends: windows that fill, slide, grow their storage and wrap."""
    rng = random.Random(7)
    for window_size, alpha, time_window in [
        (7, 0.3, 40),
        (0, 0.9, 0),
        (200, 0.05, 1000),
        (1, 1.5, -1),
    ]:
        names = ["x", "y", "z"]
        q = Quillometer(names, window_size, alpha, time_window)
        model = {n: ColumnModel(window_size, alpha, time_window) for n in names}
        ts = 0
        for step in range(3000):
            ts += rng.choice([0, 1, 1, 2, 5, -3])
            row = {
                n: rng.choice([rng.uniform(-100, 100), round(rng.uniform(0, 1), 1), 1e15])
                for n in names
                if rng.random() < 0.7
            }
            q.append(row, ts)
            for n, x in row.items():
                model[n].update(x, ts)
            if step % 250 == 0:
                for n in names:
                    for query in QUERIES:
                        assert bits(getattr(q, query)(n)) == bits(getattr(model[n], query)()), (
                            step,
                            n,
                            query,
                        )
        for n in names:
            for query in QUERIES:
                assert bits(getattr(q, query)(n)) == bits(getattr(model[n], query)()), (n, query)
