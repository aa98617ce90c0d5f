"""Turns a string of bytes into a short program of calls on Quillometer objects and runs it.

Every call's outcome is checked: a well-formed call must give the model's results bit for bit
(NaN payloads included), an ill-formed one exactly the exception it must raise, with nothing
changed. After every call each live object must still answer a query and take an append, which
also proves that no hold was left taken. The arguments include hostile objects whose conversion
hooks raise, return the wrong type or huge values, mutate the row being converted, re-enter the
object, drop its last reference or raise PanicException.

The fuzzer (fuzz.py) drives `run`; the committed corpus is replayed through it by test_corpus.py.
"""

import collections
import math
import struct
import sys
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from hostile import ConstHashStr, LyingStr, Twin
from model import QUERIES, ColumnModel

MAX_STEPS = 40
MAX_OBJECTS = 3

# The module is imported by the first run, not with this file: the fuzzer imports this file
# before its runtime is loaded, and a module built with edge counters links to that runtime.
Quillometer = PanicException = None


def load_module():
    """Imports the module and obtains PanicException the only way Python can: by catching one."""
    global Quillometer, PanicException
    if Quillometer is not None:
        return
    from quillometer import Quillometer as cls

    try:
        cls([], 0, 0.5, 0).mean("?")
    except BaseException as exc:
        Quillometer, PanicException = cls, type(exc)
        return
    raise AssertionError("a query of an unknown column returned")


class Failure(AssertionError):
    """A check of the program failed: the module did something it must not."""


def bits(x):
    if type(x) is not float:
        raise Failure(f"expected a float, got {x!r}")
    return struct.unpack("<Q", struct.pack("<d", x))[0]


QUIET = 1 << 51
DEFAULT_NAN = 0xFFF8000000000000  # what an invalid operation gives on this hardware


def same_result(got, want, nans):
    """Bit-for-bit equality; where two different NaNs meet in one operation IEEE-754 leaves open
    which one comes out (and compilers may swap the operands of + and *), so a NaN result need
    only be one of the NaNs that went into the column, quietened, or the default NaN."""
    g, w = bits(got), bits(want)
    if g == w:
        return True
    return got != got and want != want and g in nans


# --- reading the fuzzer's bytes ----------------------------------------------------------------


class Reader:
    """Reads choices from the input; past its end every choice is the first one."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    @property
    def exhausted(self):
        return self.pos >= len(self.data)

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        return self.byte() % n

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def raw(self, n):
        chunk = self.data[self.pos : self.pos + n].ljust(n, b"\0")
        self.pos += n
        return chunk

    def double(self):
        return struct.unpack("<d", self.raw(8))[0]

    def int64(self):
        return struct.unpack("<q", self.raw(8))[0]


# --- expected outcomes -------------------------------------------------------------------------


class Ok:
    def __init__(self, value):
        self.value = value


class Err:
    """An expected exception: exact type, and the message exactly, or only its start."""

    def __init__(self, type_, message=None, prefix=None):
        self.type, self.message, self.prefix = type_, message, prefix

    def check(self, exc, where):
        text = _text(exc)
        if type(exc) is not self.type:
            raise Failure(
                f"{where}: expected {self.type.__name__}, got {type(exc).__name__}: {text}"
            )
        if self.message is not None and text != self.message:
            raise Failure(f"{where}: expected {self.message!r}, got {text!r}")
        if self.prefix is not None and not text.startswith(self.prefix):
            raise Failure(f"{where}: expected a message starting {self.prefix!r}, got {text!r}")


class OneOf:
    """Any one of several expected exceptions."""

    def __init__(self, *errors):
        self.errors = errors

    def check(self, exc, where):
        failures = []
        for e in self.errors:
            try:
                e.check(exc, where)
                return
            except Failure as failure:
                failures.append(str(failure))
        raise Failure("; ".join(failures))


class Chaos(OneOf):
    """A row changed while it converts in ways whose effect is not promised: one of the given
    exceptions (messages unchecked), or success with unknown columns updated, after which the
    object leaves the program."""

    def check(self, exc, where):
        if not any(type(exc) is e.type for e in self.errors):
            raise Failure(f"{where}: unexpected {type(exc).__name__}: {_text(exc)}")


def _text(exc):
    try:
        return str(exc)
    except Exception:
        return "<unprintable>"


def prefixed(param, message):
    """The TypeError that a conversion's exact TypeError becomes."""
    return Err(TypeError, f"argument '{param}': {message}")


def mismatch(param, obj, target):
    return prefixed(param, f"'{type(obj).__qualname__}' object cannot be converted to '{target}'")


def first_error(*expectations):
    for e in expectations:
        if not isinstance(e, Ok):
            return e
    return None


# --- the program's state -----------------------------------------------------------------------


class Slot:
    """A live object and its model: column name -> ColumnModel."""

    def __init__(self, obj, columns, window_size, alpha, time_window):
        self.obj = obj
        self.model = {name: ColumnModel(window_size, alpha, time_window) for name in columns}
        self.dropped = False  # its last reference was dropped during a call
        # Per column, the NaNs a result may carry.
        given = {DEFAULT_NAN} | ({bits(alpha) | QUIET} if alpha != alpha else set())
        self.nans = {name: set(given) for name in columns}

    def apply(self, values, ts):
        for name, x in values.items():
            self.model[name].update(x, ts)
            if x != x:
                self.nans[name].add(bits(x) | QUIET)

    def check(self, method, name, got):
        want = getattr(self.model[name], method)()
        if not same_result(got, want, self.nans[name]):
            raise Failure(
                f"{method}({name!r}) = {got!r} ({bits(got):016x}), "
                f"model {want!r} ({bits(want):016x})"
            )


class Program:
    def __init__(self, data):
        self.r = Reader(data)
        self.slots = []
        self.ts = 0
        self.unraisable = []

    def next_ts(self):
        self.ts += self.r.pick((0, 1, 1, 2, 3, 7, 50, -1, -4))
        return self.ts

    # -- hostile objects, each made for one argument of one call -----------------------------

    def hostile_number(self, param, call, value, hook):
        """An object whose `hook` conversion method runs one of the hostile behaviours; returns
        (object, expected outcome of its conversion). `call` is the slot being appended to, or
        None; `value` is what a benign hook returns."""
        r = self.r
        kind = r.below(14)

        def make(body):
            return type("Hostile", (), {hook: lambda self_: body()})()

        if kind == 0:
            return make(raising(ValueError, "bad value")), Err(ValueError, "bad value")
        if kind == 1:
            return make(raising(TypeError, "not a number")), prefixed(param, "not a number")
        if kind == 2:
            return make(raising(OwnTypeError, "own kind")), Err(OwnTypeError, "own kind")
        if kind == 3:
            return make(raising(PanicException, "raised by a hook")), Err(
                PanicException, "raised by a hook"
            )
        if kind == 4:
            # Its text cannot be had: the message says so, and the failure goes to the
            # unraisable hook.
            expected = prefixed(param, "<unprintable TypeError object>")
            expected.unraisable = True
            return make(raising(TypeError, Unprintable())), expected
        if kind == 5:
            return make(lambda: "wrong type"), Err(TypeError, prefix=f"argument '{param}': ")
        if kind == 6 and hook == "__index__":
            huge = r.pick((2**64, -(2**63) - 1, 10**30))
            return make(lambda: huge), Err(OverflowError)
        if kind == 7:
            return (
                make(raising(PanicException, Unprintable())),
                Err(PanicException, "Unwrapped panic from Python code"),
            )
        if call is not None and kind in (8, 9):
            # Re-enters the object being appended to, which is held: a query is refused with
            # one message, an append with the other.
            catch, target, query = kind == 8, call.obj, r.below(2) == 1
            refusal = "Already mutably borrowed" if query else "Already borrowed"

            def reenter():
                try:
                    target.mean("?") if query else target.append({}, 0)
                except RuntimeError as exc:
                    if str(exc) != refusal:
                        raise Failure(f"re-entry saw {exc!r}, not {refusal!r}") from exc
                    if not catch:
                        raise
                    return value
                raise Failure("re-entry into an object in use succeeded")

            if catch:
                return make(reenter), Ok(value)
            return make(reenter), Err(RuntimeError, refusal)
        if call is not None and kind == 10:
            # Appends to another object, which is free: it must succeed and count.
            others = [s for s in self.slots if s is not call and not s.dropped]

            def elsewhere():
                for s in others:
                    if s.obj is not None and s.model:
                        name = next(iter(s.model))
                        s.obj.append({name: 2.5}, self.ts)
                        s.apply({name: 2.5}, self.ts)
                        break
                return value

            return make(elsewhere), Ok(value)
        if call is not None and kind == 11:
            # Drops the program's reference to the object being appended to; the call keeps it.
            def drop():
                call.obj = None
                call.dropped = True
                return value

            return make(drop), Ok(value)
        return make(lambda: value), Ok(value)

    # -- arguments -------------------------------------------------------------------------

    NAMES = (
        "a",
        "b",
        "x1",
        "",
        "\x00",
        "nul\x00byte",
        "\u00e9t\u00e9",
        "\u540d\u524d",
        "a" * 300,
        "A",
        "a ",
    )

    def name(self):
        return self.r.pick(self.NAMES)

    def text_arg(self, param, known):
        """(object, expected) for a column name: a known one in several forms, or a bad one."""
        r = self.r
        kind = r.below(16) - 6
        name = r.pick(known) if known else self.name()
        if kind <= 2:
            return "".join(list(name)) if kind == 0 else name, Ok(name)
        if kind == 3:
            return Twin(name), Ok(name)
        if kind == 4:
            return LyingStr(name), Ok(name)
        if kind == 5:
            return ConstHashStr(name), Ok(name)
        if kind == 6:
            return "\udc80" + name, Err(UnicodeEncodeError)
        if kind == 7:
            obj = r.pick((1, b"a", None, 2.5, ("a",)))
            return obj, mismatch(param, obj, "PyString")
        missing = name + "?" * (1 + r.below(3))
        return missing, Ok(missing)

    def float_arg(self, param, call):
        r = self.r
        kind = r.below(20) - 8
        if kind <= 2:
            x = r.double()
            return x, Ok(x)
        if kind == 3:
            x = r.pick((0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 1e308, 5e-324, 0.1))
            return x, Ok(x)
        if kind == 4:
            i = r.pick((0, 1, -1, 2**53 + 1, 2**63 - 1, -(2**63), 10**308, True, False))
            return i, Ok(float(i))
        if kind == 5:
            i = r.pick((2**1024, -(10**400)))
            return i, Err(OverflowError)
        if kind == 6:
            x = r.double()
            return FloatSub(x), Ok(x)
        if kind == 7:
            obj = r.pick(("1.5", None, b"1", [1.0]))
            return obj, Err(TypeError, prefix=f"argument '{param}': ")
        if kind == 8:
            i = r.int64()
            return IndexOnly(i), Ok(float(i))
        return self.hostile_number(param, call, r.double(), "__float__")

    def int_arg(self, param, call, value, any_magnitude=True):
        r = self.r
        kind = r.below(16) - 6
        if kind <= 3 or (kind == 4 and not any_magnitude):
            return value, Ok(value)
        if kind == 4:
            # Any magnitude: one, two or three digits of the int's own representation.
            wide = r.int64() >> r.below(64)
            return wide, Ok(wide)
        if kind == 5:
            return IndexOnly(value), Ok(value)
        if kind == 6:
            big = r.pick((2**64, -(2**63) - 1, 2**100))
            return big, Err(OverflowError)
        if kind == 7:
            obj = r.pick((1.5, "5", None))
            return obj, Err(TypeError, prefix=f"argument '{param}': ")
        if kind == 8:
            flag = r.below(2) == 1
            return flag, Ok(int(flag))
        return self.hostile_number(param, call, value, "__index__")

    # -- calls -------------------------------------------------------------------------------

    def bind(self, method, params, values):
        """Arguments for a call in one of several forms; (args, kwargs, expected binding error)."""
        r = self.r
        form = r.below(32) - 16
        d = f"Quillometer.{method}()"
        n = len(params)
        if form <= 7:
            return list(values), {}, None
        if form == 8:
            return [], dict(zip(params, values, strict=True)), None
        if form == 9:
            return [], dict(reversed(list(zip(params, values, strict=True)))), None
        if form == 10:
            k = r.below(n)
            return list(values[:k]), dict(zip(params[k:], values[k:], strict=True)), None
        if form == 11:
            k = r.below(n)
            missing = params[k:]
            quoted = [f"'{p}'" for p in missing]
            if len(quoted) == 1:
                joined = quoted[0]
            elif len(quoted) == 2:
                joined = f"{quoted[0]} and {quoted[1]}"
            else:
                joined = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
            word = "argument" if len(missing) == 1 else "arguments"
            return (
                list(values[:k]),
                {},
                Err(TypeError, f"{d} missing {len(missing)} required positional {word}: {joined}"),
            )
        if form == 12:
            return (
                list(values) + [0],
                {},
                Err(TypeError, f"{d} takes {n} positional arguments but {n + 1} were given"),
            )
        if form == 13:
            p = r.pick(params)
            return (
                list(values),
                {p: 0},
                Err(TypeError, f"{d} got multiple values for argument '{p}'"),
            )
        if form == 14:
            bad = r.pick(("Col", "rows", "x", "\u00e9"))
            return (
                list(values),
                {bad: 0},
                Err(TypeError, f"{d} got an unexpected keyword argument '{bad}'"),
            )
        return (
            [],
            {"\udc80": 0},
            Err(TypeError, f"{d} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
        )

    def call(self, where, fn, expected, on_success=None):
        unraisable = len(self.unraisable)
        try:
            result = fn()
        except Failure:
            raise
        except BaseException as exc:
            if isinstance(expected, Ok):
                raise Failure(
                    f"{where}: expected success, got {type(exc).__name__}: {_text(exc)}"
                ) from exc
            expected.check(exc, where)
            if getattr(expected, "unraisable", False) and len(self.unraisable) == unraisable:
                raise Failure(
                    f"{where}: the unprintable exception was not reported as unraisable"
                ) from None
            return None
        if isinstance(expected, (Err, OneOf)) and not isinstance(expected, Chaos):
            raise Failure(f"{where}: expected an exception, got {result!r}")
        if on_success is not None:
            on_success(result)
        return result

    def construct(self):
        r = self.r
        names = [self.name() for _ in range(r.pick((0, 1, 1, 2, 2, 3, 4, 5)))]
        if r.below(16) == 15:
            # Wide: rows of these columns outgrow the room a row keeps inline.
            names += [f"w{i}" for i in range(r.pick((62, 63, 64, 65, 80)))]
        container_kind = r.below(16)
        items = [(n, Ok(n)) for n in names]
        if container_kind == 1 and names:
            k = r.below(len(names))
            items[k] = (LyingStr(names[k]), Ok(names[k]))
        if container_kind == 2 and names:
            k = r.below(len(names))
            bad = r.pick((1, b"a", None))
            items[k] = (bad, mismatch("col_names", bad, "PyString"))
        if container_kind == 3 and names:
            items[r.below(len(names))] = ("\udcff", Err(UnicodeEncodeError))
        objs = [o for o, _ in items]
        col_exp = first_error(*(e for _, e in items)) or Ok(names)
        if container_kind == 4:
            col_names = tuple(objs)
        elif container_kind == 5:
            col_names = Names(objs, length=r.pick((2**62, -1, None)))
        elif container_kind == 6:
            col_names = Names(
                objs, fail_at=r.below(len(objs) + 1), error=r.pick((ValueError, TypeError))
            )
            col_exp = first_error(*(e for _, e in items[: col_names.fail_at])) or (
                Err(ValueError, "item refused")
                if col_names.error is ValueError
                else prefixed("col_names", "item refused")
            )
        elif container_kind == 7:
            col_names = "".join(names) or "ab"
            col_exp = prefixed("col_names", "Can't extract `str` to `Vec`")
        elif container_kind == 8:
            col_names = r.pick((set(names), {n: 1 for n in names}, (n for n in names)))
            col_exp = mismatch("col_names", col_names, "Sequence")
        else:
            col_names = objs
        ws = r.pick((0, 1, 2, 3, 5, 8, 50))
        # (a count window of arbitrary size would be had or not as this machine's memory goes)
        ws_obj, ws_exp = self.int_arg("window_size", None, ws, any_magnitude=False)
        if r.below(8) == 7:
            ws_obj = r.pick((2**60, 2**60 - 1, 2**59, -1, 2**64, True))
            ws_exp = Ok(int(ws_obj)) if 0 <= ws_obj < 2**64 else Err(OverflowError)
        alpha_obj, alpha_exp = self.float_arg("alpha", None)
        tw = r.pick((0, 1, 3, 10, 100, 2**62, 2**63 - 1, -(2**63), -5))
        tw_obj, tw_exp = self.int_arg("time_window", None, tw)

        args, kwargs, bind_err = self.bind(
            "__new__",
            ("col_names", "window_size", "alpha", "time_window"),
            [col_names, ws_obj, alpha_obj, tw_obj],
        )
        expected = bind_err or first_error(col_exp, ws_exp, alpha_exp, tw_exp)
        if expected is None:
            window_size = ws_exp.value
            if names and window_size >= 2**60:
                expected = Err(PanicException, "capacity overflow")
            elif names and window_size >= 2**37:
                expected = Err(MemoryError)
            else:
                expected = Ok(None)

        def created(obj):
            if type(obj) is not Quillometer:
                raise Failure(f"the constructor returned {obj!r}")
            if len(self.slots) >= MAX_OBJECTS:
                self.slots.pop(r.below(len(self.slots)))
            self.slots.append(Slot(obj, names, ws_exp.value, alpha_exp.value, tw_exp.value))

        self.call("__new__", lambda: Quillometer(*args, **kwargs), expected, created)

    def append(self, slot):
        r = self.r
        known = sorted(slot.model)
        container = r.below(16)
        row = DictSub() if container == 1 else collections.OrderedDict() if container == 2 else {}
        expect_of = {}  # id of a value object -> its expected conversion (objects kept alive)
        keep = []
        if len(known) > 8 and r.below(2):
            # Every column at once, in an order of the input's choosing.
            start = r.below(len(known))
            for name in known[start:] + known[:start]:
                x = r.double()
                # A float subclass, or a twin of an earlier name, sends the row through the
                # check for names given twice.
                value = FloatSub(x) if r.below(32) == 31 else x
                key = Twin(name) if r.below(32) == 31 else name
                row[key] = value
                expect_of[id(value)] = Ok(x)
                keep.append(value)
        for _ in range(r.pick((0, 1, 1, 2, 2, 3, 4, 6))):
            key_obj, _ = self.text_arg("row", known)
            value_obj, value_exp = self.float_arg("row", slot)
            try:
                row[key_obj] = value_obj
            except Exception:
                continue
            expect_of[id(value_obj)] = value_exp
            keep.append(value_obj)
        keys = list(dict.keys(row))
        mutation = r.below(16)  # past the input's end: none
        if keys and mutation == 13:
            # A value that adds or deletes an entry while it is converted.
            victim, grow = r.pick(keys), r.below(2)

            def mutate(self_):
                if grow:
                    row[FreshKey()] = 1.0
                else:
                    row.pop(r.pick(list(dict.keys(row))), None)
                return 1.0

            row[victim] = type("Mutator", (), {"__float__": mutate})()
            expect_of[id(row[victim])] = Err(
                PanicException, "dictionary changed size during iteration"
            )
        elif keys and mutation == 14:
            # A value that takes its own entry out and puts another in: the size stays.
            victim = r.pick(keys)

            def swap(self_):
                row.pop(victim, None)
                row["swapped in"] = 3.0
                return 1.0

            row[victim] = type("Swapper", (), {"__float__": swap})()
            expect_of[id(row[victim])] = Chaos()
        elif keys and mutation == 15:
            # A value that replaces itself: its last reference goes while it converts.
            victim = r.pick(keys)

            def replace(self_):
                row[victim] = 0.0
                return 4.0

            row[victim] = type("Replacer", (), {"__float__": replace})()
            expect_of[id(row[victim])] = Ok(4.0)

        walk = [(expect_key(k), expect_of[id(v)]) for k, v in dict.items(row)]
        ts_obj, ts_exp = self.int_arg("ts", slot, self.next_ts())
        row_obj = row
        if container == 3:
            row_obj = r.pick((list(dict.items(row)), types.MappingProxyType(row), None))
        args, kwargs, bind_err = self.bind("append", ("row", "ts"), [row_obj, ts_obj])
        del keep, keys

        expected = bind_err
        if expected is None and row_obj is not row:
            expected = mismatch("row", row_obj, "PyDict")
        values = {}
        if expected is None:
            for i, (key_exp, value_exp) in enumerate(walk):
                if isinstance(value_exp, Chaos) and isinstance(key_exp, Ok):
                    # Whatever follows may or may not be read, and may fail in its own way.
                    later = [e for pair in walk[i + 1 :] for e in pair] + [ts_exp]
                    expected = Chaos(Err(PanicException), *(e for e in later if isinstance(e, Err)))
                    break
                expected = first_error(key_exp, value_exp)
                if expected is not None:
                    break
                values[key_exp.value] = value_exp.value
        if expected is None:
            expected = first_error(ts_exp)
        if expected is None:
            unknown = [n for n in values if n not in slot.model]
            if unknown:
                # Which unknown name is reported is not promised; nothing of the row is applied.
                expected = OneOf(
                    *(Err(PanicException, f"Column '{n}' does not exist") for n in unknown)
                )
            else:
                expected = Ok(None)

        def applied(result):
            if isinstance(expected, Chaos):
                self.forget(slot)  # which columns took a value is not promised
                return
            if result is not None:
                raise Failure(f"append returned {result!r}")
            slot.apply(values, ts_exp.value)

        self.call("append", lambda: slot.obj.append(*args, **kwargs), expected, applied)

    def query(self, slot):
        r = self.r
        method = r.pick(QUERIES)
        col_obj, col_exp = self.text_arg("col", sorted(slot.model))
        args, kwargs, bind_err = self.bind(method, ("col",), [col_obj])
        expected = bind_err or first_error(col_exp)
        if expected is None and col_exp.value not in slot.model:
            expected = Err(PanicException, "Column does not exist")
        if expected is None:

            def compare(result):
                slot.check(method, col_exp.value, result)

            expected = Ok(None)
        else:
            compare = None
        self.call(method, lambda: getattr(slot.obj, method)(*args, **kwargs), expected, compare)

    def forget(self, slot):
        if slot in self.slots:
            self.slots.remove(slot)

    def still_works(self):
        """Every live object answers a query and takes an append, with the model's results."""
        for slot in list(self.slots):
            if slot.dropped:
                self.slots.remove(slot)
                continue
            ts = self.next_ts()
            if not slot.model:
                if slot.obj.append({}, ts) is not None:
                    raise Failure("append of an empty row returned a value")
                self.call(
                    "query on no columns",
                    lambda: slot.obj.last("a"),
                    Err(PanicException, "Column does not exist"),
                )
                continue
            name = self.r.pick(sorted(slot.model))
            x = self.r.double()
            if slot.obj.append({name: x}, ts) is not None:
                raise Failure("append returned a value")
            slot.apply({name: x}, ts)
            for method in QUERIES:
                slot.check(method, name, getattr(slot.obj, method)(name))

    def run(self):
        previous_hook = sys.unraisablehook
        sys.unraisablehook = lambda info: self.unraisable.append(info.exc_type)
        try:
            self.construct()
            for _ in range(MAX_STEPS):
                if self.r.exhausted:
                    break
                action = self.r.below(8)
                if action == 0 or not self.slots:
                    self.construct()
                elif action <= 3:
                    self.append(self.r.pick(self.slots))
                elif action == 4 and self.slots:
                    self.slots.pop(self.r.below(len(self.slots)))  # the object is destroyed
                else:
                    self.query(self.r.pick(self.slots))
                self.still_works()
        finally:
            sys.unraisablehook = previous_hook
            self.slots.clear()


# --- argument classes --------------------------------------------------------------------------


class OwnTypeError(TypeError):
    pass


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def raising(kind, argument):
    def hook():
        raise kind(argument)

    return hook


class FloatSub(float):
    def __float__(self):
        raise AssertionError("the module called __float__ of a float subclass")


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FreshKey(str):
    def __new__(cls):
        return super().__new__(cls, "added during conversion")


class DictSub(dict):
    """A dict subclass whose Python-level iteration must not be used."""

    def items(self):
        raise AssertionError("items() called")

    def keys(self):
        raise AssertionError("keys() called")

    def __iter__(self):
        raise AssertionError("__iter__ called")


class Names:
    """A sequence of column names with a lying or raising __len__, or an item that raises."""

    def __init__(self, names, length=None, fail_at=None, error=ValueError):
        self.names, self.length, self.fail_at, self.error = names, length, fail_at, error

    def __len__(self):
        if self.length is None:
            raise RuntimeError("no length")
        if self.length < 0:
            return len(self.names)
        return self.length

    def __getitem__(self, i):
        if self.fail_at is not None and i == self.fail_at:
            raise self.error("item refused")
        if i >= len(self.names):
            raise IndexError(i)
        return self.names[i]


def expect_key(key):
    """What a row's key converts to: its characters, whatever its class."""
    if isinstance(key, str):
        try:
            key.encode("utf-8")
        except UnicodeEncodeError:
            return Err(UnicodeEncodeError)
        return Ok(str.__str__(key))
    return mismatch("row", key, "PyString")


def run(data):
    """Runs the program that `data` encodes; raises Failure when the module misbehaves."""
    load_module()
    program = Program(data)
    program.run()
    return program
