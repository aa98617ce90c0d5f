"""PanicException, the fatal-error report, the per-object hold and the receiver check."""

import gc
import os
import re
import sys
import threading

import pytest
from conftest import (
    QUERIES,
    Quillometer,
    assert_free,
    call_raw,
    check_call,
    conversion_call,
    fresh_float,
    fresh_int,
    fresh_str,
    outcome,
    panic_class,
    run_python,
    stats_of,
)

import quillometer

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# --- the PanicException class ------------------------------------------------------------------


def test_panic_exception_class(PanicException):
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__qualname__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert type(PanicException) is type


def test_panic_exception_doc(PanicException):
    doc = PanicException.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    paragraphs = [p for p in doc.strip("\n").split("\n\n") if p.strip()]
    assert len(paragraphs) == 2
    assert "SystemExit" in paragraphs[1] and "BaseException" in paragraphs[1]


def test_panic_exception_is_not_published(PanicException):
    assert not hasattr(quillometer, "PanicException")
    assert all(v is not PanicException for v in vars(quillometer).values())
    assert sys.modules.get("pyo3_runtime") is None


def test_one_class_for_every_fatal_error(PanicException):
    q = Quillometer(["a"], 2, 0.5, 10)
    row = {"a": None}

    class Grow:
        def __float__(self):
            row["b"] = 1.0
            return 1.0

    row["a"] = Grow()
    for call in (
        lambda: q.mean("zz"),
        lambda: q.append({"zz": 1.0}, 0),
        lambda: Quillometer(["a"], 2**60, 0.5, 10),
        lambda: q.append(row, 0),
    ):
        assert outcome(call)[1] is PanicException
    assert panic_class() is PanicException


def test_panic_exception_instance(PanicException):
    q = Quillometer(["a"], 2, 0.5, 10)
    try:
        q.mean("zz")
    except BaseException as exc:
        assert type(exc) is PanicException
        assert str(exc) == "Column does not exist"
        assert exc.args == ("Column does not exist",)
        assert not isinstance(exc, Exception)
        assert exc.__cause__ is None and exc.__context__ is None
    assert q.mean("a") == 0.0


def test_not_caught_by_except_exception():
    q = Quillometer(["a"], 2, 0.5, 10)
    caught_by = []
    try:
        try:
            q.mean("zz")
        except Exception:
            caught_by.append("Exception")
    except BaseException:
        caught_by.append("BaseException")
    assert caught_by == ["BaseException"]
    q.append({"a": 4.0}, 0)
    assert q.mean("a") == 4.0


def test_object_usable_after_fatal_errors(PanicException):
    q = Quillometer(["a", "b"], 2, 0.5, 10)
    for _ in range(3):
        assert outcome(lambda: q.mean("zz"))[1] is PanicException
        assert outcome(lambda: q.append({"zz": 1.0, "a": 1.0}, 0))[1] is PanicException
    q.append({"a": 2.0, "b": 3.0}, 0)
    q.append({"a": 4.0}, 1)
    assert (q.mean("a"), q.last("b"), q.rate("a")) == (3.0, 3.0, 0.2)


def test_fatal_error_paths_leak_nothing(PanicException):
    q = Quillometer(["ab"], 2, 0.5, 10)
    col = "".join(["z", "z"])
    row = {"".join(["y", "y"]): float("1.5")}
    check_call(
        lambda: q.mean(col),
        watched=(q, col),
        raises=PanicException,
        message="Column does not exist",
    )
    check_call(
        lambda: q.append(row, 0),
        watched=(q, row) + tuple(row) + tuple(row.values()),
        raises=PanicException,
    )
    assert_free(q, "ab")


# --- the hold ----------------------------------------------------------------------------------


class Hook:
    """A value or timestamp whose conversion runs `action`; errors are kept, or let through."""

    def __init__(self, action, let_through=True, result=1.0):
        self.action, self.let_through, self.result, self.seen = action, let_through, result, []

    def _run(self):
        try:
            self.action()
        except BaseException as exc:
            self.seen.append((type(exc), str(exc)))
            if self.let_through:
                raise
        else:
            self.seen.append("ok")
        return self.result

    def __float__(self):
        return float(self._run())

    def __index__(self):
        return int(self._run())


def appending(q, hook, where):
    if where == "row":
        return lambda: q.append({"a": 5.0, "b": hook}, 1)
    return lambda: q.append({"a": 5.0, "b": 6.0}, hook)


WHERE = ["row", "ts"]


@pytest.fixture
def held():
    q = Quillometer(["a", "b"], 3, 0.5, 10)
    q.append({"a": 1.0, "b": 2.0}, 0)
    return q


@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("name", QUERIES)
def test_query_during_append_is_refused(held, where, name):
    q = held
    before = stats_of(q, "a"), stats_of(q, "b")
    hook = Hook(lambda: getattr(q, name)("a"))
    call = appending(q, hook, where)
    got = check_call(
        call, watched=(q, hook), raises=RuntimeError, message="Already mutably borrowed"
    )
    assert got[3] == ("Already mutably borrowed",)
    assert set(hook.seen) == {(RuntimeError, "Already mutably borrowed")}
    assert (stats_of(q, "a"), stats_of(q, "b")) == before
    assert_free(q, "a")


@pytest.mark.parametrize("where", WHERE)
def test_append_during_append_is_refused(held, where):
    q = held
    before = stats_of(q, "a"), stats_of(q, "b")
    hook = Hook(lambda: q.append({"a": 9.0}, 0))
    check_call(
        appending(q, hook, where),
        watched=(q, hook),
        raises=RuntimeError,
        message="Already borrowed",
    )
    assert set(hook.seen) == {(RuntimeError, "Already borrowed")}
    assert (stats_of(q, "a"), stats_of(q, "b")) == before
    assert_free(q, "a")


@pytest.mark.parametrize("where", WHERE)
def test_refused_hold_inside_a_conversion_can_be_handled(held, where):
    q = held
    hook = Hook(lambda: q.mean("a"), let_through=False, result=6.0)
    assert appending(q, hook, where)() is None
    assert hook.seen == [(RuntimeError, "Already mutably borrowed")]
    assert (q.last("a"), q.last("b"), q.rate("b")) == (5.0, 6.0, 0.2)
    hook = Hook(lambda: q.append({}, 0), let_through=False, result=7.0)
    assert appending(q, hook, where)() is None
    assert hook.seen == [(RuntimeError, "Already borrowed")]
    assert_free(q, "a")


@pytest.mark.parametrize("where", WHERE)
def test_binding_is_judged_before_the_hold(held, where):
    q = held
    for inner, message in [
        (lambda: q.mean(), "Quillometer.mean() missing 1 required positional argument: 'col'"),
        (
            lambda: q.zscore("a", "b"),
            "Quillometer.zscore() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: q.append(),
            "Quillometer.append() missing 2 required positional arguments: 'row' and 'ts'",
        ),
        (
            lambda: q.append({}, 0, rows={}),
            "Quillometer.append() got an unexpected keyword argument 'rows'",
        ),
    ]:
        hook = Hook(inner, let_through=False)
        assert appending(q, hook, where)() is None
        assert hook.seen == [(TypeError, message)]
    assert_free(q, "a")


@pytest.mark.parametrize("where", WHERE)
def test_hold_is_judged_before_conversion(held, where):
    q = held
    for inner, message in [
        (lambda: q.mean(5), "Already mutably borrowed"),
        (lambda: q.rate(b"a"), "Already mutably borrowed"),
        (lambda: q.append([], 1.5), "Already borrowed"),
    ]:
        hook = Hook(inner, let_through=False)
        assert appending(q, hook, where)() is None
        assert hook.seen == [(RuntimeError, message)]
    assert_free(q, "a")


@pytest.mark.parametrize("where", WHERE)
def test_other_objects_are_not_held(held, where):
    q = held
    other = Quillometer(["a"], 2, 0.5, 10)

    def use_other():
        other.append({"a": 3.0}, 0)
        assert other.mean("a") == 3.0

    hook = Hook(use_other)
    assert appending(q, hook, where)() is None
    assert hook.seen == ["ok"]
    assert other.last("a") == 3.0


def test_hold_seen_from_another_thread(held):
    q = held
    seen = []

    def query():
        seen.append(outcome(lambda: q.mean("a"))[:3])
        seen.append(outcome(lambda: q.append({}, 0))[:3])

    def start_and_join():
        t = threading.Thread(target=query)
        t.start()
        t.join()

    hook = Hook(start_and_join)
    assert appending(q, hook, "row")() is None
    assert seen == [
        ("raised", RuntimeError, "Already mutably borrowed"),
        ("raised", RuntimeError, "Already borrowed"),
    ]
    assert_free(q, "a")


def test_hold_during_construction_is_not_involved(held):
    q = held
    hook = Hook(lambda: q.append({"a": 8.0}, 3), result=0.5)
    r = Quillometer(["a"], 2, hook, 10)
    assert hook.seen == ["ok"]
    assert q.last("a") == 8.0 and r.mean("a") == 0.0


def test_finalizer_run_under_a_query_hold_is_refused_append(held):
    # A query's argument error is built under its shared hold, and making the exception object
    # lets the collector run; a finalizer it runs there must find the object held.
    q = held
    before = stats_of(q, "a")
    seen = []

    class Cycle:
        def __del__(self):
            seen.append(outcome(lambda: q.append({"a": 9.0}, 1))[:3])

    threshold, enabled = gc.get_threshold(), gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        cycle = Cycle()
        cycle.me = cycle
        del cycle
        gc.set_threshold(1)  # the next tracked allocation collects the cycle
        gc.enable()
        try:  # nothing tracked is allocated on the way into the entry
            q.mean(5)
        except TypeError as exc:
            error = str(exc)
    finally:
        gc.set_threshold(*threshold)
        (gc.enable if enabled else gc.disable)()
    assert error == "argument 'col': 'int' object cannot be converted to 'PyString'"
    assert seen == [("raised", RuntimeError, "Already borrowed")]
    assert stats_of(q, "a") == before
    assert_free(q, "a")


def test_error_raised_by_the_hook_itself_reaches_append_unprefixed(held):
    q = held

    def fail():
        raise RuntimeError("Already borrowed, said the hook")

    call = appending(q, Hook(fail), "row")
    check_call(call, watched=(q,), raises=RuntimeError, message="Already borrowed, said the hook")
    assert_free(q, "a")


# --- the receiver check ------------------------------------------------------------------------


def test_method_descriptor_refuses_a_foreign_receiver():
    for name in ("mean", "append"):
        method = vars(Quillometer)[name]
        pattern = rf"^descriptor '{name}' for '(builtins\.)?Quillometer' objects doesn't apply to a 'int' object$"
        with pytest.raises(TypeError, match=pattern):
            method(5, "a")
        with pytest.raises(TypeError, match=pattern):
            method.__get__(5)


class Outer:
    class Inner:
        pass


def test_raw_entry_works_with_a_real_receiver():
    q = Quillometer(["a"], 2, 0.5, 10)
    assert call_raw("append", q, {"a": 2.0}, 0) is None
    assert call_raw("append", q, {"a": 4.0}, ts=1) is None
    assert call_raw("mean", q, "a") == 3.0
    assert call_raw("mean", q, col="a") == 3.0


@pytest.mark.parametrize(
    "receiver, type_name",
    [
        (fresh_int(5000), "int"),
        (object(), "object"),
        (Outer.Inner(), "Outer.Inner"),
        (fresh_str("qq"), "str"),
    ],
)
@pytest.mark.parametrize("name", ("append",) + QUERIES)
def test_receiver_check(name, receiver, type_name):
    col = fresh_str("ab")
    args = ({col: fresh_float(1.5)}, fresh_int(7000)) if name == "append" else (col,)
    check_call(
        lambda: call_raw(name, receiver, *args),
        watched=(receiver, type(receiver), col)
        + args
        + (tuple(args[0].values()) if name == "append" else ()),
        raises=TypeError,
        message=f"'{type_name}' object cannot be converted to 'Quillometer'",
    )


def test_receiver_is_checked_after_binding_and_before_conversion():
    receiver = Outer.Inner()
    for call, message in [
        (
            lambda: call_raw("mean", receiver),
            "Quillometer.mean() missing 1 required positional argument: 'col'",
        ),
        (
            lambda: call_raw("append", receiver, {}),
            "Quillometer.append() missing 1 required positional argument: 'ts'",
        ),
        (
            lambda: call_raw("mean", receiver, 5),
            "'Outer.Inner' object cannot be converted to 'Quillometer'",
        ),
        (
            lambda: call_raw("append", receiver, [], 1.5),
            "'Outer.Inner' object cannot be converted to 'Quillometer'",
        ),
    ]:
        check_call(call, watched=(receiver,), raises=TypeError, message=message)


# --- the report on standard error --------------------------------------------------------------

HEADER = re.compile(r"\nthread '<unnamed>' panicked at ([^\n:]+):(\d+):(\d+):\n")

TWO_PANICS = """
    from quillometer import Quillometer
    q = Quillometer(["a"], 2, 0.5, 10)
    for call in (lambda: q.mean("nope"), lambda: q.append({"zz": 1.0}, 0)):
        try:
            call()
        except BaseException as exc:
            print(type(exc).__name__, str(exc))
    q.append({"a": 2.0}, 0)
    print(q.mean("a"))
"""


def reports(stderr):
    """Splits stderr into (file, line, column, message, rest) per report; checks nothing precedes
    the first one."""
    parts = HEADER.split(stderr)
    assert parts[0] == "", f"unexpected text before the first report: {parts[0]!r}"
    found = []
    for i in range(1, len(parts), 4):
        file, line, column, body = parts[i : i + 4]
        message, _, rest = body.partition("\n")
        found.append((file, int(line), int(column), message, rest))
    return found


def check_location(file, line, column, directory):
    assert not file.startswith("/") and file.startswith(directory), file
    path = os.path.join(REPO, file)
    assert os.path.isfile(path), file
    with open(path, encoding="utf-8") as source:
        assert 1 <= line <= len(source.read().splitlines())
    assert column >= 1


NOTE = re.compile(r"note: [^\n]*QUILLOMETER_BACKTRACE\W{0,3}1\b[^\n]*\n")


@pytest.mark.parametrize("setting", [None, "0"])
def test_report_without_backtrace(setting):
    proc = run_python(TWO_PANICS, QUILLOMETER_BACKTRACE=setting)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "PanicException Column does not exist",
        "PanicException Column 'zz' does not exist",
        "2.0",
    ]
    found = reports(proc.stderr)
    assert [r[3] for r in found] == ["Column does not exist", "Column 'zz' does not exist"]
    for file, line, column, _, _ in found:
        check_location(file, line, column, "src/engine/")
    first_rest, second_rest = found[0][4], found[1][4]
    assert NOTE.fullmatch(first_rest), first_rest  # the note follows the first report only
    assert "backtrace" in first_rest
    assert second_rest == ""


def backtrace_bodies(stderr):
    found = reports(stderr)
    assert [r[3] for r in found] == ["Column does not exist", "Column 'zz' does not exist"]
    bodies = []
    for _, _, _, _, rest in found:
        lines = rest.splitlines()
        assert lines[0] == "stack backtrace:", rest
        assert len(lines) > 1
        bodies.append(lines)
    return bodies


def test_report_with_full_backtrace():
    proc = run_python(TWO_PANICS, QUILLOMETER_BACKTRACE="full")
    assert proc.returncode == 0, proc.stderr
    for lines in backtrace_bodies(proc.stderr):
        assert not any(NOTE.fullmatch(line + "\n") for line in lines)
        assert not any("QUILLOMETER_BACKTRACE=full" in line for line in lines)


@pytest.mark.parametrize("setting", ["1", "short", "yes"])
def test_report_with_short_backtrace(setting):
    proc = run_python(TWO_PANICS, QUILLOMETER_BACKTRACE=setting)
    assert proc.returncode == 0, proc.stderr
    full = run_python(TWO_PANICS, QUILLOMETER_BACKTRACE="full")
    full_lengths = [len(lines) for lines in backtrace_bodies(full.stderr)]
    for lines, full_length in zip(backtrace_bodies(proc.stderr), full_lengths, strict=True):
        assert lines[-1].startswith("note: ") and "QUILLOMETER_BACKTRACE=full" in lines[-1], lines[
            -1
        ]
        assert len(lines) - 1 < full_length  # the fatal-error machinery's frames are left out


def test_backtrace_setting_is_read_once():
    code = """
        import os
        from quillometer import Quillometer
        q = Quillometer(["a"], 2, 0.5, 10)
        for value in ("keep", CHANGES):
            if value is None:
                os.environ.pop("QUILLOMETER_BACKTRACE", None)
            elif value != "keep":
                os.environ["QUILLOMETER_BACKTRACE"] = value
            try:
                q.mean("nope")
            except BaseException:
                pass
    """
    found = reports(run_python(code.replace("CHANGES", '"full", "1"')).stderr)
    assert len(found) == 3
    assert NOTE.fullmatch(found[0][4])
    assert [r[4] for r in found[1:]] == ["", ""]
    found = reports(
        run_python(code.replace("CHANGES", 'None, "0"'), QUILLOMETER_BACKTRACE="full").stderr
    )
    assert len(found) == 3
    assert all(r[4].startswith("stack backtrace:\n") for r in found)


def test_report_names_no_thread():
    code = """
        import threading
        from quillometer import Quillometer
        q = Quillometer(["a"], 2, 0.5, 10)
        def work():
            try:
                q.mean("nope")
            except BaseException as exc:
                print(threading.current_thread().name, exc)
        t = threading.Thread(target=work, name="worker")
        t.start()
        t.join()
    """
    proc = run_python(code)
    assert proc.stdout == "worker Column does not exist\n"
    found = reports(proc.stderr)
    assert [r[3] for r in found] == ["Column does not exist"]


def test_long_report_is_written_whole():
    code = """
        from quillometer import Quillometer
        q = Quillometer(["a"], 2, 0.5, 10)
        try:
            q.append({"x" * 3000 + "\\u00e9": 1.0}, 0)
        except BaseException as exc:
            print(len(str(exc)))
    """
    proc = run_python(code)
    message = "Column '" + "x" * 3000 + "\u00e9' does not exist"
    assert proc.stdout == f"{len(message)}\n"
    found = reports(proc.stderr)
    assert [r[3] for r in found] == [message]


def test_report_locations_of_other_fatal_errors():
    code = """
        from quillometer import Quillometer
        try:
            Quillometer(["a"], 2**60, 0.5, 10)
        except BaseException as exc:
            print(exc)
        row = {"a": None}
        class Grow:
            def __float__(self):
                row["b"] = 1.0
                return 1.0
        row["a"] = Grow()
        try:
            Quillometer(["a"], 2, 0.5, 10).append(row, 0)
        except BaseException as exc:
            print(exc)
    """
    proc = run_python(code)
    assert proc.stdout.splitlines() == [
        "capacity overflow",
        "dictionary changed size during iteration",
    ]
    found = reports(proc.stderr)
    assert [r[3] for r in found] == [
        "capacity overflow",
        "dictionary changed size during iteration",
    ]
    check_location(*found[0][:3], "src/engine/")
    check_location(*found[1][:3], "src/boundary/")


# --- a PanicException raised by Python code during a conversion --------------------------------

RESUME = """
    import sys
    from quillometer import Quillometer
    q = Quillometer(["a", "b"], 2, 0.5, 10)
    try:
        q.mean("nope")
    except BaseException as exc:
        Panic = type(exc)
    raised = []
    class Stamp:
        def __index__(self):
            exc = Panic(MESSAGE)
            raised.append(exc)
            raise exc
    sys.stderr.write("=== start ===\\n")
    sys.stderr.flush()
    try:
        q.append({"a": 1.0, "b": 2.0}, Stamp())
    except BaseException as exc:
        print(type(exc) is Panic, exc is not raised[0], repr(str(exc)), exc.args == (str(exc),))
    sys.stderr.write("=== end ===\\n")
    sys.stderr.flush()
    print(q.last("a"), q.last("b"), q.rate("a"))
    q.append({"a": 3.0}, 0)
    print(q.last("a"))
"""


def resumed_output(message_expr):
    proc = run_python(RESUME.replace("MESSAGE", message_expr))
    assert proc.returncode == 0, proc.stderr
    before, _, rest = proc.stderr.partition("=== start ===\n")
    during, _, after = rest.partition("=== end ===\n")
    assert after == ""
    return proc.stdout.splitlines(), during


def test_panic_exception_from_python_is_resumed():
    stdout, during = resumed_output('"raised from __index__"')
    assert stdout == ["True True 'raised from __index__' True", "0.0 0.0 0.0", "3.0"]
    lines = during.splitlines()
    assert lines[0].startswith("--- ") and lines[0].endswith(" ---") and len(lines[0]) > 8
    assert "PanicException" in lines[0]
    assert lines[1] == "Python stack trace below:"
    assert lines[2] == "Traceback (most recent call last):"
    assert any("in __index__" in line for line in lines)
    assert lines[-1] == "pyo3_runtime.PanicException: raised from __index__"
    assert "panicked at" not in during


def test_unprintable_panic_exception_is_resumed_with_a_fixed_message():
    code_message = "type('Unprintable', (), {'__str__': lambda self: 1 / 0})()"
    stdout, during = resumed_output(code_message)
    assert stdout == ["True True 'Unwrapped panic from Python code' True", "0.0 0.0 0.0", "3.0"]
    lines = during.splitlines()
    assert lines[1] == "Python stack trace below:"
    assert "panicked at" not in during


class RaisingHook:
    def __init__(self, make):
        self.make = make

    def __index__(self):
        raise self.make()

    __float__ = __index__

    def __getitem__(self, i):
        raise self.make()


@pytest.mark.parametrize("param", ["col_names", "window_size", "alpha", "time_window", "row", "ts"])
def test_resumption_at_every_conversion(param, PanicException, capfd):
    hook = RaisingHook(lambda: PanicException("from " + param))
    capfd.readouterr()
    call = conversion_call(param, hook)
    got = check_call(
        call, watched=(hook,), raises=PanicException, message="from " + param, repeat=2
    )
    assert got[3] == ("from " + param,)
    err = capfd.readouterr().err
    assert err.count("Python stack trace below:\n") == 2
    assert "panicked at" not in err


class PanickingLength:
    """A sequence of good names whose __len__ raises what `make` gives."""

    def __init__(self, make):
        self.make = make

    def __len__(self):
        raise self.make()

    def __getitem__(self, i):
        return ["a", "b"][i]


def test_panic_from_the_length_of_col_names_is_resumed(PanicException):
    # The length only sizes a reservation, so an ordinary error from it is discarded (see the
    # reference-count tests); a PanicException is resumed all the same.
    names = PanickingLength(lambda: PanicException("from __len__"))
    got = check_call(
        lambda: Quillometer(names, 2, 0.5, 10),
        watched=(names,),
        raises=PanicException,
        message="from __len__",
        repeat=2,
    )
    assert got[3] == ("from __len__",)


@pytest.mark.parametrize("param", ["col_names", "alpha", "ts"])
def test_panic_exception_subclass_is_an_ordinary_error(param, PanicException, capfd):
    class Derived(PanicException):
        pass

    raised = Derived("derived")
    hook = RaisingHook(lambda: raised)
    capfd.readouterr()
    try:
        conversion_call(param, hook)()
    except BaseException as exc:
        assert exc is raised
    else:
        raise AssertionError("no error")
    err = capfd.readouterr().err
    assert "Python stack trace below:" not in err and "panicked at" not in err


def test_panic_class_is_made_on_first_need():
    code = """
        import gc
        from quillometer import Quillometer

        def panic_classes():
            return [o for o in gc.get_objects() if isinstance(o, type) and o.__name__ == "PanicException"]

        q = Quillometer(["a"], 2, 0.5, 10)
        q.append({"a": 1.0}, -1)
        q.mean("a")
        for call in (lambda: q.mean(), lambda: q.append(rows={}, ts=0), lambda: Quillometer()):
            try:
                call()
            except TypeError:
                pass
        print("after successes and binding errors:", len(panic_classes()))
        try:
            q.append({"a": "x"}, 0)  # a conversion error: the fetched exception is compared
        except TypeError:
            pass
        print("after a fetched error:", len(panic_classes()))
        first = panic_classes()[0]
        try:
            q.mean("zz")
        except BaseException as exc:
            print("same class:", type(exc) is first, len(panic_classes()))
    """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "after successes and binding errors: 0",
        "after a fetched error: 1",
        "same class: True 1",
    ]
