"""Misuses of quillometer that both type checkers must report: every line marked `# rejected`
must draw a diagnostic, and no other line may. The module refuses each of them at run time too,
except those marked `type only`."""

from types import MappingProxyType

from quillometer import Quillometer

q = Quillometer(["a"], 10, 0.5, 100)
row: dict[str, float] = {"a": 1.0}
texts: dict[str, str] = {"a": "1.0"}

q.mean(1)  # rejected
q.mean(b"a")  # rejected
q.append([("a", 1.0)], 0)  # rejected
q.append((("a", 1.0),), 0)  # rejected
q.append(row, 1.5)  # rejected
q.append(row, "1")  # rejected
q.append(texts, 1)  # rejected
q.append({1: 1.0}, 1)  # rejected
q.append(MappingProxyType(row), 1)  # rejected
q.append(row)  # rejected
q.append(row, 1, 2)  # rejected
q.append(rows=row, ts=1)  # rejected
Quillometer([1, 2], 10, 0.5, 100)  # rejected
Quillometer(b"ab", 10, 0.5, 100)  # rejected
Quillometer(["a"], 3.0, 0.5, 100)  # rejected
Quillometer(["a"], 10, "0.5", 100)  # rejected
Quillometer(["a"], 10, 0.5, 1.5)  # rejected
Quillometer(["a"], 10, 0.5)  # rejected
text: str = q.mean("a")  # rejected, type only


class Sub(Quillometer):  # rejected
    pass
