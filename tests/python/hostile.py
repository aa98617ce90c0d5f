"""Hostile str subclasses for column names, shared by the tests and the fuzzer's program.

Each holds the characters of a name while its Python-level methods say something else. The module
reads a name through its characters alone and never calls these methods, so each must behave as
the plain str of the same characters. This file imports nothing: the fuzzer loads it before the
module.
"""


class LyingStr(str):
    """Its Python-level methods all disagree with its characters: str() of it is other text, it
    equals nothing, and its hash is a constant. Two with the same characters are distinct dict
    keys, and so is one beside the plain str of its characters."""

    def __str__(self):
        return "other"

    def __eq__(self, other):
        return False

    def __ne__(self, other):
        return True

    def __hash__(self):
        return 12345


class Twin(str):
    """Never equal to anything, with the hash of its characters: a dict holds it beside the str of
    the same characters (after comparing the two), and the module sees one name twice."""

    def __eq__(self, other):
        return False

    def __ne__(self, other):
        return True

    __hash__ = str.__hash__


class ConstHashStr(str):
    """Its hash collides everywhere and its __eq__ raises: the module hashes the characters itself
    and never compares through Python."""

    def __hash__(self):
        return 0

    def __eq__(self, other):
        raise ValueError("compared")

    __ne__ = __eq__
