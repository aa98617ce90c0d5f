"""The fuzzer's committed corpus, replayed: every input's program runs with every check met."""

import math
from pathlib import Path

import program
import pytest
from model import ColumnModel

CORPUS = sorted((Path(__file__).parent / "corpus").iterdir())


def test_corpus_is_there():
    assert len(CORPUS) >= 20, "the committed corpus is missing"


@pytest.mark.parametrize("path", CORPUS, ids=lambda p: p.name[:16])
def test_replay(path):
    program.run(path.read_bytes())


@pytest.mark.parametrize("query", ["rolling_std", "time_mean", "ewma", "variance"])
def test_a_result_one_unit_off_is_caught(monkeypatch, query):
    # The checks are live: a model off by one unit in the last place fails some replay.
    exact = getattr(ColumnModel, query)
    monkeypatch.setattr(ColumnModel, query, lambda self: math.nextafter(exact(self), math.inf))
    with pytest.raises(program.Failure, match=query):
        for path in CORPUS:
            program.run(path.read_bytes())


def test_a_wrong_message_is_caught(monkeypatch):
    # The exact messages are checked: a conversion error expected with another text fails.
    monkeypatch.setattr(program, "prefixed", lambda param, message: program.Err(TypeError, message))
    with pytest.raises(program.Failure, match="got .argument '"):
        for path in CORPUS:
            program.run(path.read_bytes())
