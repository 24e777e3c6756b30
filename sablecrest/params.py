"""Statements of the user's own with named parameters: one placeholder style on every
driver.

A statement names its values ``:name``; `named` reads the text once and writes it for
the driver (``?``, ``%s`` or ``$1``, the same name sharing one ``$n``), with the names in
placeholder order, and keeps the result (texts repeat; the reading is not free). It is a
small tokenizer rather than a pattern: a ``:name`` inside a quoted string, a quoted
identifier, a comment or a dollar-quoted body is text, as are PostgreSQL's ``::`` casts
and MariaDB's ``:=``; ``\\:`` writes a colon that is not a parameter (``arr[lo\\:hi]``).
For drivers that read the text as a %-format, every ``%`` is doubled. What counts as a
quote or a comment is the engine's (`Engine.backslash_escapes` and its neighbours): an
unterminated quote or comment is refused, since where it ends decides which names are
parameters.

`bind` turns a mapping of values into the driver's parameter list, each value converted
as a field of its type would be (`Engine.dumpers` by the value's Python type), before
any statement runs: a name the statement uses that the mapping lacks, or one the mapping
gives that the statement does not use, is a ValueError.
"""

from __future__ import annotations

import enum
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Set, Tuple, cast

from .kinds import KIND_OF
from .model import Model

if TYPE_CHECKING:
    from .engines.base import Engine, ParamStyle

# Texts read before `named` starts over; enough for any application's own statements.
_CACHE_LIMIT = 1024
_cache: Dict[Tuple[str, str, bool, int], "Named"] = {}


class Named:
    """A statement written for one driver: its text and the parameter names in order."""

    __slots__ = ("sql", "names")

    def __init__(self, sql: str, names: Tuple[str, ...]) -> None:
        self.sql = sql
        self.names = names

    def __repr__(self) -> str:
        return "Named(%r, %r)" % (self.sql, self.names)


def _syntax(engine: "Engine") -> int:
    """The engine's quoting rules as bits (part of the cache key)."""
    return (engine.backslash_escapes | engine.hash_comments << 1 | engine.dollar_quotes << 2
            | engine.backtick_quotes << 3 | engine.bracket_quotes << 4 | engine.nested_comments << 5)


def named(text: str, style: "ParamStyle", engine: "Engine") -> Named:
    """`text` with its ``:name`` parameters written in the driver's style."""
    key = (text, style.marker, style.escapes_percent, _syntax(engine))
    found = _cache.get(key)
    if found is None:
        found = _Reader(text, style, engine).read()
        if len(_cache) >= _CACHE_LIMIT:
            _cache.clear()
        _cache[key] = found
    return found


def _is_name_start(ch: str) -> bool:
    return ch.isalpha() or ch == "_"


def _is_name_char(ch: str) -> bool:
    return ch.isalnum() or ch == "_"


class _Reader:
    """One pass over a statement's text."""

    def __init__(self, text: str, style: "ParamStyle", engine: "Engine") -> None:
        self.text = text
        self.style = style
        self.engine = engine
        self.out: List[str] = []
        self.names: List[str] = []
        self.numbers: Dict[str, int] = {}  # "$n" drivers: one number per name
        self.marks: Set[int] = set()  # the parts of `out` that are placeholders

    def emit(self, part: str) -> None:
        self.out.append(part)

    def read(self) -> Named:
        text, n, e = self.text, len(self.text), self.engine
        i = start = 0
        while i < n:
            ch = text[i]
            end = -1
            if ch == "'" or (ch == '"'):
                escapes = e.backslash_escapes or (
                    ch == "'" and e.dollar_quotes and i > 0 and text[i - 1] in "eE"
                    and (i == 1 or not _is_name_char(text[i - 2])))
                end = self.quoted(i, ch, escapes)
            elif ch == "`" and e.backtick_quotes:
                end = self.quoted(i, "`", False)
            elif ch == "[" and e.bracket_quotes:
                end = text.find("]", i + 1)
                end = self.closed(end, i, "[", 1)
            elif ch == "-" and text.startswith("--", i) or ch == "#" and e.hash_comments:
                nl = text.find("\n", i)
                end = n if nl < 0 else nl
            elif ch == "/" and text.startswith("/*", i):
                end = self.block_comment(i)
            elif ch == "$" and e.dollar_quotes and (i == 0 or not _is_name_char(text[i - 1])):
                end = self.dollar(i)
            elif ch == ":" or ch == "\\" or ch == "?" and self.style.marker == "?":
                self.emit(text[start:i])
                i = start = self.colon(i)
                continue
            if end < 0:
                i += 1
                continue
            i = end  # past a quoted part or a comment: copied as it is
        self.emit(text[start:])
        if not self.names:  # nothing to bind: the driver takes the text as it is
            return Named("".join(self.out), ())
        if self.style.escapes_percent:
            marks = self.marks
            self.out = [part if i in marks else part.replace("%", "%%") for i, part in enumerate(self.out)]
        return Named("".join(self.out), tuple(self.names))

    def closed(self, end: int, at: int, what: str, width: int) -> int:
        if end < 0:
            raise ValueError("the statement has an unterminated %s (at character %d): where it ends decides "
                             "which :names are parameters" % (what, at))
        return end + width

    def quoted(self, i: int, q: str, escapes: bool) -> int:
        text, j, n = self.text, i + 1, len(self.text)
        while j < n:
            c = text[j]
            if escapes and c == "\\":
                j += 2
                continue
            if c == q:
                if j + 1 < n and text[j + 1] == q:
                    j += 2  # a doubled quote stands for itself
                    continue
                return j + 1
            j += 1
        return self.closed(-1, i, "%s quote" % q, 1)

    def block_comment(self, i: int) -> int:
        text, depth, j, n = self.text, 1, i + 2, len(self.text)
        while j < n:
            if text.startswith("*/", j):
                depth -= 1
                j += 2
                if depth == 0:
                    return j
            elif self.engine.nested_comments and text.startswith("/*", j):
                depth += 1
                j += 2
            else:
                j += 1
        return self.closed(-1, i, "/* comment", 2)

    def dollar(self, i: int) -> int:
        """A dollar-quoted body ($$...$$, $tag$...$tag$); -1 when `$` starts nothing of
        the kind ($1, or a `$` inside a word)."""
        text, j, n = self.text, i + 1, len(self.text)
        if j < n and text[j].isdigit():
            if self.style.marker == "$":
                raise ValueError("the statement holds the driver's own placeholder $%s: name its values (:name) "
                                 "instead" % text[j])
            return -1
        while j < n and _is_name_char(text[j]):
            j += 1
        if j >= n or text[j] != "$":
            return -1
        tag = text[i:j + 1]
        end = text.find(tag, j + 1)
        return self.closed(end, i, "%s quote" % tag, len(tag))

    def colon(self, i: int) -> int:
        """At a ':' (a parameter or text), a backslash or a '?': writes it and returns
        where reading goes on."""
        text, n = self.text, len(self.text)
        ch = text[i]
        if ch == "?":
            raise ValueError("the statement holds a ? placeholder: name its values (:name) instead")
        if ch == "\\":
            if i + 1 < n and text[i + 1] == ":":
                self.emit(":")  # an escaped colon is text
                return i + 2
            self.emit("\\")
            return i + 1
        j = i + 1
        if j < n and text[j] == ":":  # a PostgreSQL cast: both colons are text
            self.emit("::")
            return j + 1
        if j < n and _is_name_start(text[j]) and (i == 0 or not _is_name_char(text[i - 1])):
            k = j + 1
            while k < n and _is_name_char(text[k]):
                k += 1
            self.marks.add(len(self.out))
            self.out.append(self.placeholder(text[j:k]))
            return k
        self.emit(":")
        return j

    def placeholder(self, name: str) -> str:
        style = self.style
        if style.marker != "$":
            self.names.append(name)
            return style.marker
        number = self.numbers.get(name)
        if number is None:
            self.names.append(name)
            number = self.numbers[name] = len(self.names)
        return "$%d" % number


def bind(statement: Named, params: Optional[Mapping[str, Any]], engine: "Engine") -> Optional[List[Any]]:
    """The driver's parameters for `statement` from `params`, converted; None for a
    statement without parameters given none (its text then goes to the driver exactly
    as written)."""
    if params is None:
        params = {}
    elif not isinstance(params, Mapping):
        kind = type(params).__name__
        raise TypeError("execute() takes its values as a mapping of names, like {'id': 5} for :id in the text; got a "
                        "%s%s" % (kind, " (positional placeholders such as ?, %s or $1 are each driver's own: name "
                                        "the values instead)" if isinstance(params, (list, tuple)) else ""))
    names = statement.names
    for name in params:
        if not isinstance(name, str):
            raise TypeError("execute() takes parameter names as str, got %r" % (name,))
    if not names:
        if params:
            raise ValueError("execute(): params gives %s, which the statement does not use (it names no :parameter)"
                             % ", ".join(":" + k for k in params))
        return None
    missing = [name for name in dict.fromkeys(names) if name not in params]
    if missing:
        raise ValueError("execute(): the statement names %s, which params does not give"
                         % ", ".join(":" + k for k in missing))
    if len(params) > len(set(names)):
        used = set(names)
        raise ValueError("execute(): params gives %s, which the statement does not use (it names %s)" % (
            ", ".join(":" + k for k in params if k not in used), ", ".join(":" + k for k in dict.fromkeys(names))))
    dumpers = engine.dumpers
    return [dump(params[name], dumpers) for name in names]


# The exact value of an instance of a subclass (an IntEnum, a str enum), without running
# the subclass's own __str__ or __int__ (a str enum's str() is its member name).
def _plain_bytes(v: bytes) -> bytes:
    return b"" + v


_PLAIN: Dict[type, Any] = {int: int.__int__, str: str.__str__, float: float.__float__, bytes: _plain_bytes}


def dump(value: Any, dumpers: Mapping[Any, Any]) -> Any:
    """A value as the driver takes it: as a field of its Python type would be written (a
    Decimal, datetime or date converted where the engine stores it as text; an enum
    member or a subclass of int or str as the plain value; a model object as its primary
    key; a list or tuple item by item). Other values go to the driver as they are."""
    if value is None:
        return None
    if isinstance(value, (list, tuple)):  # item by item (an array parameter), not JSON
        return [dump(v, dumpers) for v in cast("Sequence[Any]", value)]
    cls: type = value.__class__
    kind = KIND_OF.get(cls)
    if kind is None:
        if isinstance(value, Model):
            info = type(value).__sc_info__
            key = getattr(value, info.pk.name)
            if key is None:
                raise ValueError("execute(): a %s given as a parameter has no primary key yet (flush it first)"
                                 % info.name)
            return dump(key, dumpers)
        if isinstance(value, enum.Enum) and not isinstance(value, (int, str)):
            value = value.value
        for base in type(value).__mro__[1:]:
            kind = KIND_OF.get(base)
            if kind is not None:
                plain = _PLAIN.get(base)
                value = value if plain is None else plain(value)
                break
        if kind is None:
            return value
    f = dumpers.get(kind)
    return value if f is None else f(value)


__all__ = ["Named", "named", "bind", "dump"]
