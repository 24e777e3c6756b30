"""Statement text across tables: joins through relations, column and expression selects
with GROUP BY and HAVING, subqueries, and set-based UPDATE and DELETE.

A `Select` holds a statement's parts (a query's, or one the unit of work makes). Its
text is written once per shape and dialect and kept in the dialect's cache, like every
other text (statements.py); its parameters are collected on every execution, in the same
order. A `Scope` writes one statement: it knows the tables of the statement and of the
statements around it (a subquery may name their models), and qualifies every column by
its table when more than one table is involved (a join, or a query inside the
statement). A column of a model that is in no scope is a ValueError, before anything
runs, as are the shapes that the engines would answer differently or not at all: a
HAVING without GROUP BY, a column neither grouped nor aggregated next to an aggregate,
an aggregate in WHERE, an ORDER BY of something not selected under DISTINCT, a model
joined twice.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Dict, Hashable, List, Optional, Sequence, Tuple, cast

from .engines.base import decimal_scale
from .expr import EXISTS, Column, Expression, Func
from .kinds import Kind, RelationKind
from .statements import GENERAL, NONE, PLAIN, SHAPE_OF, Compiler, Plan, condition_hows, where_params

if TYPE_CHECKING:
    from .relations import AnyRelation
    from .expr import AnyColumn, AnyCondition, AnyExpression, AnyOrdering
    from .model import AnyField, Field, ModelInfo
    from .statements import Dialect

ROWS, COUNT = "rows", "count"  # the other modes (SCALAR, IN, EXISTS) are expr's


class Select:
    """The parts of a SELECT. `cols` None selects the model's objects (every column of
    `info`); otherwise the expressions of each row. `joins` are (relation, outer)."""

    __slots__ = ("info", "cols", "joins", "where", "group", "having", "order", "distinct", "limit", "offset")

    def __init__(self, info: "ModelInfo", cols: Optional[Tuple[AnyExpression, ...]] = None,
                 joins: Tuple[Tuple[AnyRelation, bool], ...] = (), where: Tuple[AnyCondition, ...] = (),
                 group: Tuple[AnyExpression, ...] = (), having: Tuple[AnyCondition, ...] = (),
                 order: Tuple[AnyOrdering, ...] = (), distinct: bool = False, limit: Optional[int] = None,
                 offset: Optional[int] = None) -> None:
        self.info = info
        self.cols = cols
        self.joins = joins
        self.where = where
        self.group = group
        self.having = having
        self.order = order
        self.distinct = distinct
        self.limit = limit
        self.offset = offset


class Scope(Compiler):
    """Writes one statement (or a statement inside another): placeholders in order,
    columns quoted and, with `qualify`, prefixed by their table."""

    __slots__ = ("tables", "parent", "qualify", "nested", "query_of")

    def __init__(self, dialect: "Dialect", parent: "Optional[Scope]", qualify: bool, start: int = 0) -> None:
        super().__init__(dialect, start)
        self.tables: Dict[Any, str] = {}  # model -> its table as written in FROM
        self.parent = parent
        self.qualify = qualify
        self.nested = False  # a query was written inside this statement
        self.query_of = ""  # the model queried, for messages

    def col(self, column: AnyColumn) -> str:
        table = self.table(column)  # checked whether or not it is written: a column of no model here is refused
        name = self.dialect.q(column.column)
        return table + "." + name if self.qualify else name

    def table(self, column: AnyColumn) -> str:
        s: Optional[Scope] = self
        while s is not None:
            t = s.tables.get(column.model)
            if t is not None:
                return t
            s = s.parent
        raise ValueError("%s.%s belongs to %s, which is not part of this query of %s"
                         % (column.model.__name__, column.name, column.model.__name__, self.query_of))

    def qualified(self, column: "Field[Any]") -> str:
        return self.table(column) + "." + self.dialect.q(column.column)

    def subquery(self, query: Any, mode: str) -> str:
        s: Optional[Scope] = self
        while s is not None:
            s.nested = True
            s = s.parent
        inner = Scope(self.dialect, self, self.qualify, self.n)
        text = _select(inner, query._select(), mode)
        self.n = inner.n
        return text


def _root(d: "Dialect", write: Callable[[Scope], str], qualify: bool) -> str:
    """A statement's text: written once unqualified, and again qualified when a query
    inside it turned up (which may name the outer statement's columns)."""
    scope = Scope(d, None, qualify)
    text = write(scope)
    if scope.nested and not qualify:
        text = write(Scope(d, None, True))
    return text


# ---------------------------------------------------------------- SELECT


def select_key(d: "Dialect", sel: Select, mode: str) -> Hashable:
    # A shape made with its item is taken as it is (`key` would make it again).
    cols = None if sel.cols is None else tuple([e.shape or e.key(d) for e in sel.cols])
    return ("q", mode, sel.info.model, cols, sel.joins, tuple([w.shape or w.key(d) for w in sel.where]),
            tuple([g.shape or g.key(d) for g in sel.group]) if sel.group else (),
            tuple([h.shape or h.key(d) for h in sel.having]) if sel.having else (),
            tuple([o.shape or o.key(d) for o in sel.order]), sel.distinct, sel.limit is not None,
            sel.offset is not None)


def select_sql(d: "Dialect", sel: Select, mode: str) -> str:
    return select_plan(d, sel, mode).sql


def rows_sql(d: "Dialect", sel: Select) -> Tuple[str, Optional[Tuple[Any, ...]]]:
    """The text of a select of columns and its row loaders (see `row_loaders`)."""
    plan = select_plan(d, sel, ROWS)
    return plan.sql, plan.loaders


def select_plan(d: "Dialect", sel: Select, mode: str) -> Plan:
    """The plan of `sel` in `mode`: its text (written and checked once per shape), how
    its parameters are collected (`plan_params`), and, for a select of columns, its row
    loaders."""
    key = select_key(d, sel, mode)
    plan = d._plans.get(key)
    if plan is None:
        text = _root(d, lambda s: _select(s, sel, mode), bool(sel.joins))
        parts: List[Tuple[str, Tuple[Any, ...]]] = []
        for name, items in _param_parts(sel, mode):
            hows = condition_hows(d, items)
            if any(how is not NONE for how in hows):
                parts.append((name, hows))
        loaders = row_loaders(d, sel.cols) if sel.cols is not None and mode == ROWS else None
        plan = Plan(text, (), tuple(parts), loaders)
        d.keep_plan(key, plan)
    return plan


def plan_params(d: "Dialect", plan: Plan, sel: Select, out: List[Any]) -> None:
    """The parameters of `plan`'s text for `sel` (of its shape), in placeholder order."""
    for name, hows in plan.parts:
        where_params(d, hows, getattr(sel, name), out)
    if sel.limit is not None:
        out.append(sel.limit)
    if sel.offset is not None:
        out.append(sel.offset)


def _param_parts(sel: Select, mode: str) -> List[Tuple[str, Sequence[Any]]]:
    """The parts of `sel` whose items may have parameters, in placeholder order, as
    `select_params` goes through them."""
    parts: List[Tuple[str, Sequence[Any]]] = []
    if mode != EXISTS and sel.cols is not None and (mode != COUNT or _counted_whole(sel)):
        parts.append(("cols", sel.cols))
    parts += [("where", sel.where), ("group", sel.group), ("having", sel.having)]
    if mode != COUNT:
        parts.append(("order", sel.order))
    return parts


def select_params(d: "Dialect", sel: Select, mode: str, out: List[Any]) -> None:
    """The parameters of `select_sql`, in its placeholder order."""
    if mode != EXISTS and sel.cols is not None and (mode != COUNT or _counted_whole(sel)):
        for e in sel.cols:
            e.params(d, out)
    for w in sel.where:
        w.params(d, out)
    for g in sel.group:
        g.params(d, out)
    for h in sel.having:
        h.params(d, out)
    if mode != COUNT:
        for o in sel.order:
            o.field.params(d, out)
    if sel.limit is not None:
        out.append(sel.limit)
    if sel.offset is not None:
        out.append(sel.offset)


def _counted_whole(sel: Select) -> bool:
    """COUNT(*) of a query counts its rows as a derived table when a plain COUNT(*)
    would count something else (distinct rows, groups, a page)."""
    return bool(sel.distinct or sel.group or sel.having or sel.limit is not None or sel.offset is not None)


def _select(scope: Scope, sel: Select, mode: str) -> str:
    d = scope.dialect
    info = sel.info
    scope.query_of = info.name
    m = d.model(info)
    scope.tables[info.model] = m.table
    joins = _joins(scope, sel)
    _check(scope, sel)
    whole = mode == COUNT and _counted_whole(sel)
    if mode == EXISTS or (mode == COUNT and not whole):
        head = "1" if mode == EXISTS else "COUNT(*)"
    else:
        items = [e.render(scope) for e in (sel.cols if sel.cols is not None else info.fields)]
        if whole:  # named apart: a derived table may not repeat a name (MariaDB)
            items = ["%s AS %s" % (t, d.q("c%d" % i)) for i, t in enumerate(items)]
        head = ", ".join(items)
    parts = ["SELECT ", "DISTINCT " if sel.distinct else "", head, " FROM ", m.table]
    parts.extend(joins)
    if sel.where:
        parts += [" WHERE ", " AND ".join([w.render(scope) for w in sel.where])]
    if sel.group:
        parts += [" GROUP BY ", ", ".join([g.render(scope) for g in sel.group])]
    if sel.having:
        parts += [" HAVING ", " AND ".join([h.render(scope) for h in sel.having])]
    if sel.order and mode != COUNT:
        parts += [" ORDER BY ", ", ".join([o.field.render(scope) + (" DESC" if o.descending else " ASC")
                                           for o in sel.order])]
    if sel.limit is not None:
        parts += [" LIMIT ", scope.ph()]
    elif sel.offset is not None:
        parts.append(d.engine.offset_only_limit)
    if sel.offset is not None:
        parts += [" OFFSET ", scope.ph()]
    text = "".join(parts)
    if whole:
        text = "SELECT COUNT(*) FROM (%s) AS %s" % (text, d.q("sc_counted"))
    return text


def _joins(scope: Scope, sel: Select) -> List[str]:
    """The JOIN clauses, each through a relation from a model already in the statement."""
    d = scope.dialect
    out: List[str] = []
    for rel, outer in sel.joins:
        rel.resolve()
        if rel.model not in scope.tables:
            raise ValueError("join(%s) starts from %s, which is not part of this query of %s"
                             % (rel.label, rel.model.__name__, sel.info.name))
        kw = " LEFT OUTER JOIN " if outer else " JOIN "
        for model in rel.models():
            if model in scope.tables:
                raise ValueError("join(%s) brings %s into a query that has it already; a model joins a query once"
                                 % (rel.label, model.__name__))
            scope.tables[model] = d.model(model.__sc_info__).table
        owner_pk = rel.model.__sc_info__.pk
        target_pk = rel.target.__sc_info__.pk
        q = scope.qualified
        if rel.kind == RelationKind.MANY_TO_ONE:
            assert rel.local is not None
            out.append("%s%s ON %s = %s" % (kw, scope.tables[rel.target], q(target_pk), q(rel.local)))
        elif rel.kind == RelationKind.ONE_TO_MANY:
            assert rel.remote is not None
            out.append("%s%s ON %s = %s" % (kw, scope.tables[rel.target], q(rel.remote), q(owner_pk)))
        else:
            assert rel.link_a is not None and rel.link_b is not None
            out.append("%s%s ON %s = %s" % (kw, scope.tables[rel.link], q(rel.link_a), q(owner_pk)))
            out.append("%s%s ON %s = %s" % (kw, scope.tables[rel.target], q(target_pk), q(rel.link_b)))
    return out


def _check(scope: Scope, sel: Select) -> None:
    """What the engines would refuse, or answer each differently: refused here, before
    anything runs (once per shape)."""
    d = scope.dialect
    for w in sel.where:
        if w.aggregate():
            raise ValueError("an aggregate (COUNT, SUM, ...) cannot be tested in where(): test it in having(), "
                             "with group_by()")
    if sel.having and not sel.group:
        raise ValueError("having() tests groups: it needs group_by()")
    for g in sel.group:
        if g.aggregate():
            raise ValueError("group_by() takes fields or expressions without aggregates, got %r" % (g,))
    listed: Sequence[AnyExpression] = sel.cols if sel.cols is not None else sel.info.fields
    ordered = [o.field for o in sel.order]
    aggregated = any(e.aggregate() for e in listed) or any(e.aggregate() for e in ordered) or bool(sel.having)
    if aggregated or sel.group:
        # Columns by identity (a field's == makes a condition), expressions by shape.
        grouped = {id(g) for g in sel.group if isinstance(g, Column)}
        grouped_exprs = {g.key(d) for g in sel.group if not isinstance(g, Column)}
        whole = {g.model for g in sel.group if isinstance(g, Column) and g is g.model.__sc_info__.pk}
        for e in list(listed) + ordered:
            if e.aggregate() or (id(e) in grouped if isinstance(e, Column) else e.key(d) in grouped_exprs):
                continue
            for c in e.columns():
                if c.model not in whole and id(c) not in grouped:
                    raise ValueError("%s.%s is neither grouped nor aggregated: add it to group_by() or aggregate "
                                     "it (func.max(%s.%s), say); the engines would each pick a different row"
                                     % (c.model.__name__, c.name, c.model.__name__, c.name))
    if sel.distinct and sel.order:
        shown = {id(e) for e in listed if isinstance(e, Column)}
        shown_exprs = {e.key(d) for e in listed if not isinstance(e, Column)}
        for e in ordered:
            if not (id(e) in shown if isinstance(e, Column) else e.key(d) in shown_exprs):
                raise ValueError("with distinct(), order_by() takes what the query selects; %r is not selected" % (e,))


def row_loaders(d: "Dialect", cols: Tuple[AnyExpression, ...]) -> Optional[Tuple[Any, ...]]:
    """What turns each column of a row into its Python type: a column's loader (its
    enum's members, its JSON, an aware datetime), or the result loader of an
    expression's kind; None when nothing needs converting."""
    key = ("loaders", tuple([e.key(d) for e in cols]))
    found = d._shapes.get(key, d)
    if found is not d:
        return found  # type: ignore[no-any-return]
    out = tuple(_loader(d, e) for e in cols)
    found = out if any(out) else None
    d._shapes[key] = found
    return found


def _loader(d: "Dialect", e: AnyExpression) -> Any:
    engine = d.engine
    if isinstance(e, Column):
        return engine.loader(cast("AnyField", e))  # a model's field: the column a select names
    kind = e.kind
    if kind is None:
        return None
    source = e.source() if isinstance(e, Func) else None
    if source is not None and (kind in (Kind.ENUM, Kind.JSON) or getattr(source, "timezone", False)):
        return engine.loader(cast("AnyField", source))
    # An aggregate may come back wider than its column (a SUM of ints as NUMERIC); a
    # type without a result loader (time, timedelta, UUID) reads as a column of it.
    loader = engine.result_loaders.get(kind)
    return loader if loader is not None else engine.loaders.get(kind)


_DECIMAL = Kind.DECIMAL


# ---------------------------------------------------------------- set-based writes


def update_sql(d: "Dialect", info: "ModelInfo", sets: Sequence[Tuple["Field[Any]", Any]],
               where: Sequence[AnyCondition], returning: Tuple[int, ...]) -> str:
    return update_plan(d, info, sets, where, returning).sql


def update_plan(d: "Dialect", info: "ModelInfo", sets: Sequence[Tuple["Field[Any]", Any]],
                where: Sequence[AnyCondition], returning: Tuple[int, ...]) -> Plan:
    """UPDATE of the rows `where` selects, each field of `sets` to its value or
    expression, with RETURNING of the key and the fields `returning` (indexes) when
    given: its text and how its parameters are collected (`update_params`)."""
    set_key = tuple([(f, (v.shape or v.key(d)) if isinstance(v, Expression) else None) for f, v in sets])
    shapes = tuple(map(SHAPE_OF, where))
    if None in shapes:
        shapes = tuple([w.shape or w.key(d) for w in where])
    key = ("update_where", info.model, set_key, shapes, returning)
    plan = d._plans.get(key)
    if plan is None:
        hows: List[Any] = []
        for f, v in sets:
            if isinstance(v, Expression):
                probe: List[Any] = []
                v.params(d, probe)
                # An expression the statement rounds takes the scale as one more parameter.
                hows.append(GENERAL if probe or _rounded_to(d, f) is not None else NONE)
            else:
                dumper = d.dumper(f)
                hows.append(PLAIN if dumper is None else dumper)
        plan = Plan(_root(d, lambda scope: _update(scope, info, sets, where, returning), False),
                    condition_hows(d, where), (("sets", tuple(hows)),))
        d.keep_plan(key, plan)
    return plan


def _update(scope: Scope, info: "ModelInfo", sets: Sequence[Tuple["Field[Any]", Any]],
            where: Sequence[AnyCondition], returning: Tuple[int, ...]) -> str:
    d = scope.dialect
    m = d.model(info)
    scope.query_of = info.name
    scope.tables[info.model] = m.table
    _check_writes(info, where)
    for f, v in sets:
        if isinstance(v, Expression) and v.aggregate():
            raise ValueError("update(%s=...) takes an expression of the row's own fields, not an aggregate" % f.name)
    # A column of another model in an expression: ValueError from the scope, as it is written.
    items = ["%s = %s" % (m.columns[f.position], _computed(d, f, v.render(scope), scope)
                          if isinstance(v, Expression) else scope.ph())
             for f, v in sets]
    text = "UPDATE %s SET %s" % (m.table, ", ".join(items))
    if where:
        text += " WHERE " + " AND ".join([w.render(scope) for w in where])
    if returning:
        text += " RETURNING " + ", ".join([m.pk_column] + [m.columns[i] for i in returning])
    return text


def _rounded_to(d: "Dialect", f: "Field[Any]") -> Optional[int]:
    """The scale an expression written to `f` is rounded to in the statement, where the
    engine's column would not round it (see Engine.rounds_decimals)."""
    if d.engine.rounds_decimals or f.kind != Kind.DECIMAL:
        return None
    return decimal_scale(f.db_type)


def _computed(d: "Dialect", f: "Field[Any]", text: str, scope: "Scope") -> str:
    if _rounded_to(d, f) is None:
        return text
    return d.engine.function_sql("round", [text, scope.ph()])


def update_params(d: "Dialect", plan: Plan, sets: Sequence[Tuple["Field[Any]", Any]], where: Sequence[AnyCondition],
                  out: List[Any]) -> None:
    """The parameters of an `update_plan` text, in placeholder order."""
    for (f, v), how in zip(sets, plan.parts[0][1]):
        if how is GENERAL:
            v.params(d, out)
            scale = _rounded_to(d, f)
            if scale is not None:
                out.append(scale)
        elif how is not NONE:
            out.append(v if how is PLAIN or v is None else how(v))
    where_params(d, plan.where, where, out)


def delete_sql(d: "Dialect", info: "ModelInfo", where: Sequence[AnyCondition], returning: bool) -> str:
    """DELETE of the rows `where` selects, with RETURNING of their keys when asked."""
    key = ("delete_where", info.model, tuple([w.shape or w.key(d) for w in where]), returning)

    def write(scope: Scope) -> str:
        m = d.model(info)
        scope.query_of = info.name
        scope.tables[info.model] = m.table
        _check_writes(info, where)
        text = "DELETE FROM " + m.table
        if where:
            text += " WHERE " + " AND ".join([w.render(scope) for w in where])
        if returning:
            text += " RETURNING " + m.pk_column
        return text

    text = d._sql.get(key)
    if text is None:
        text = d._cached(key, lambda: _root(d, write, False))
    return text


def _check_writes(info: "ModelInfo", where: Sequence[AnyCondition]) -> None:
    for w in where:
        if w.aggregate():
            raise ValueError("an aggregate (COUNT, SUM, ...) cannot select the rows of an update() or delete()")


# ---------------------------------------------------------------- loading relations


def link_sql(d: "Dialect", rel: AnyRelation, n: int) -> str:
    """The targets of a many-to-many relation for `n` owner keys: every column of the
    target, then the owner key of the link row, in the targets' key order."""
    key = ("link", rel, d.in_shape(n))

    def write(scope: Scope) -> str:
        assert rel.link_a is not None and rel.link_b is not None
        info = rel.target.__sc_info__
        link = rel.link.__sc_info__
        scope.tables[info.model] = d.model(info).table
        scope.tables[link.model] = d.model(link).table
        q = scope.qualified
        return "SELECT %s, %s FROM %s JOIN %s ON %s = %s WHERE %s ORDER BY %s" % (
            ", ".join([q(f) for f in info.fields]), q(rel.link_a), scope.tables[info.model],
            scope.tables[link.model], q(rel.link_b), q(info.pk), scope.in_list(rel.link_a, False, n), q(info.pk))

    text = d._sql.get(key)
    if text is None:
        text = d._cached(key, lambda: _root(d, write, True))
    return text


__all__ = ["Select", "Scope", "ROWS", "COUNT", "select_sql", "rows_sql", "select_plan", "plan_params", "select_params",
           "select_key", "row_loaders", "update_sql", "update_plan", "update_params", "delete_sql", "link_sql"]
