"""The four classes driven the way an ORM drives them, against SQLite, PostgreSQL and MariaDB.

Every statement text comes from the module and every value is bound by the engine's own driver
in the dialect's placeholder style; results are checked row by row against the data put in.
"""

import pytest

from _sablecrest_rs import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

QC = QueryCompiler()
DIFF = SchemaDiffEngine()

USER_FIELDS = {
    "id": {"primary_key": True},
    "name": {"data_type": "VARCHAR(100)", "nullable": False},
    "email": {"data_type": "VARCHAR(200)"},
    "age": {"data_type": "INTEGER"},
}
POST_FIELDS = {
    "id": {"primary_key": True},
    "user_id": {"data_type": "INTEGER", "nullable": False},
    "title": {"data_type": "VARCHAR(200)", "nullable": False},
    "score": {"data_type": "INTEGER"},
}
USER_COLUMNS = ["name", "email", "age"]
USERS = [  # ids 1..5 in this order
    ("alice", "alice@example.org", 30),
    ("bob", "bob@example.org", 25),
    ("carol", None, 41),
    ("dave", "dave@example.org", 17),
    ("erin", "erin@example.org", 35),  # has no posts
]
POST_COLUMNS = ["user_id", "title", "score"]
POSTS = [  # ids 1..6 in this order
    (1, "hello", 5),
    (1, "again", 9),
    (2, "bobs post", 7),
    (3, "carol one", 3),
    (3, "carol two", 8),
    (4, "teen post", 10),
]
PK_CLAUSE = {
    "sqlite": "INTEGER PRIMARY KEY AUTOINCREMENT",
    "postgres": "SERIAL PRIMARY KEY",
    "postgresql": "SERIAL PRIMARY KEY",
    "mysql": "INT AUTO_INCREMENT PRIMARY KEY",
}


def ph(dialect, i):
    """The placeholder the dialect's driver expects at position i."""
    return {"mysql": "%s", "postgres": "$%d" % i, "postgresql": "$%d" % i}.get(dialect, "?")


def definitions(create_stmt, table):
    """The column definitions of a CREATE TABLE text, which lists them in no promised order."""
    head = "CREATE TABLE IF NOT EXISTS %s (" % table
    assert create_stmt.startswith(head) and create_stmt.endswith(");")
    return sorted(create_stmt[len(head):-2].split(", "))


def create(engine, table, fields):
    up, down = DIFF.diff_table(table, fields, {}, engine.dialect)
    for stmt in up:
        engine.run(stmt)
    return up, down


def insert_all(engine, table, columns, rows):
    sql = QC.compile_insert(table, columns, engine.dialect)
    return [engine.inserted_id(sql, row) for row in rows]


def all_rows(engine, table):
    sql, params = QC.compile_select(table, [], [], [], [("id", "asc")], dialect=engine.dialect)
    return engine.rows(sql, params)


@pytest.fixture
def blog(engine):
    create(engine, "it_users", USER_FIELDS)
    create(engine, "it_posts", POST_FIELDS)
    assert insert_all(engine, "it_users", USER_COLUMNS, USERS) == [1, 2, 3, 4, 5]
    assert insert_all(engine, "it_posts", POST_COLUMNS, POSTS) == [1, 2, 3, 4, 5, 6]
    engine.statements.clear()
    return engine


class TestSchema:
    def test_create_table_from_model(self, engine):
        up, down = create(engine, "it_users", USER_FIELDS)
        assert len(up) == 1
        assert definitions(up[0], "it_users") == sorted(
            ["id " + PK_CLAUSE[engine.dialect], "name VARCHAR(100) NOT NULL", "email VARCHAR(200)", "age INTEGER"]
        )
        assert down == ["DROP TABLE IF EXISTS it_users;"]
        assert set(engine.columns("it_users")) == set(USER_FIELDS)

    def test_primary_key_really_auto_increments(self, engine):
        create(engine, "it_users", USER_FIELDS)
        rows = [("u%d" % i, None, i) for i in range(3)]
        assert insert_all(engine, "it_users", USER_COLUMNS, rows) == [1, 2, 3]
        _, count, _ = engine.run(QC.compile_delete("it_users", "id", engine.dialect), [3])
        assert count == 1
        # A deleted key is never handed out again.
        assert insert_all(engine, "it_users", USER_COLUMNS, [("u3", None, 3)]) == [4]

    def test_add_columns_then_downgrade_removes_them(self, engine):
        create(engine, "it_users", USER_FIELDS)
        insert_all(engine, "it_users", USER_COLUMNS, USERS[:1])
        before = engine.columns("it_users")
        assert list(before) and set(before) == set(USER_FIELDS)

        grown = dict(USER_FIELDS, bio={"data_type": "TEXT"}, karma={"data_type": "INTEGER"})
        up, down = DIFF.diff_table("it_users", grown, before, engine.dialect)
        assert sorted(up) == [
            "ALTER TABLE it_users ADD COLUMN bio TEXT;",
            "ALTER TABLE it_users ADD COLUMN karma INTEGER;",
        ]
        # Position i of the downgrade undoes position i of the upgrade.
        assert down == [s.replace(" ADD ", " DROP ").rsplit(" ", 1)[0] + ";" for s in up]
        for stmt in up:
            engine.run(stmt)
        assert set(engine.columns("it_users")) == set(grown)
        assert DIFF.diff_table("it_users", grown, engine.columns("it_users"), engine.dialect) == ([], [])

        for stmt in down:
            engine.run(stmt)
        assert engine.columns("it_users") == before
        assert all_rows(engine, "it_users") == [{"id": 1, "name": "alice", "email": "alice@example.org", "age": 30}]

    def test_downgrade_of_create_drops_the_table(self, engine):
        _, down = create(engine, "it_users", USER_FIELDS)
        for stmt in down:
            engine.run(stmt)
        assert engine.columns("it_users") == {}


class TestInsert:
    def test_values_bound_in_column_order(self, engine):
        create(engine, "it_users", USER_FIELDS)
        sql = QC.compile_insert("it_users", ["age", "name", "email"], engine.dialect)
        want = "INSERT INTO it_users (age, name, email) VALUES (%s, %s, %s)" % tuple(
            ph(engine.dialect, i) for i in (1, 2, 3)
        )
        if engine.dialect in ("postgres", "postgresql"):
            want += " RETURNING *"
        assert sql == want
        assert engine.inserted_id(sql, [52, "zoë ✓", None]) == 1
        assert all_rows(engine, "it_users") == [{"id": 1, "name": "zoë ✓", "email": None, "age": 52}]

    def test_returning_gives_the_row_back(self, pg_engine):
        engine = pg_engine
        create(engine, "it_users", USER_FIELDS)
        sql = QC.compile_insert("it_users", USER_COLUMNS, engine.dialect)
        rows, count, _ = engine.run(sql, USERS[0])
        assert count == 1
        assert rows == [{"id": 1, "name": "alice", "email": "alice@example.org", "age": 30}]

    def test_returning_through_libpq_exec_params(self, pg_engine):
        # The lowest level a driver offers: text parameters, no client-side rewriting.
        engine = pg_engine
        create(engine, "it_users", USER_FIELDS)
        sql = QC.compile_insert("it_users", USER_COLUMNS, engine.dialect)
        res = engine.conn.pgconn.exec_params(sql.encode(), [b"bob", None, b"25"])
        assert res.error_message == b""
        names = [res.fname(i) for i in range(res.nfields)]
        got = {n: res.get_value(0, i) for i, n in enumerate(names)}
        assert (res.ntuples, got) == (1, {b"id": b"1", b"name": b"bob", b"email": None, b"age": b"25"})


class TestSelect:
    def test_join_filters_order_limit_offset(self, blog):
        d = blog.dialect
        sql, params = QC.compile_select(
            "it_posts",
            ["it_posts.id", "it_posts.title", "it_users.name"],
            [("it_users.age", ">=", "18"), ("it_posts.score", ">", "4")],
            [("inner", "it_users", "it_users.id = it_posts.user_id")],
            [("it_posts.score", "desc"), ("it_posts.id", "asc")],
            2,
            1,
            d,
        )
        assert sql == (
            "SELECT it_posts.id, it_posts.title, it_users.name FROM it_posts"
            " INNER JOIN it_users ON it_users.id = it_posts.user_id"
            " WHERE it_users.age >= %s AND it_posts.score > %s"
            " ORDER BY it_posts.score DESC, it_posts.id ASC LIMIT 2 OFFSET 1" % (ph(d, 1), ph(d, 2))
        )
        assert params == ["18", "4"]
        # Adults' posts scoring above 4, best first: again 9, carol two 8, bobs post 7, hello 5.
        got = [tuple(r.values()) for r in blog.rows(sql, params)]
        assert got == [(5, "carol two", "carol"), (3, "bobs post", "bob")]

    def test_left_join_keeps_rows_without_match(self, blog):
        sql, params = QC.compile_select(
            "it_users",
            ["it_users.name", "it_posts.title"],
            [("it_users.name", "like", "%r%"), ("it_users.age", "<", "50")],
            [("left", "it_posts", "it_posts.user_id = it_users.id")],
            [("it_users.name", "asc"), ("it_posts.title", "asc")],
            dialect=blog.dialect,
        )
        assert params == ["%r%", "50"]
        got = [tuple(r.values()) for r in blog.rows(sql, params)]
        assert got == [("carol", "carol one"), ("carol", "carol two"), ("erin", None)]

    @pytest.mark.parametrize(
        "limit, offset, want",
        [
            pytest.param(None, None, [1, 2, 3, 4, 5, 6], id="no-paging"),
            pytest.param(2, None, [1, 2], id="limit"),
            pytest.param(2, 3, [4, 5], id="limit-offset"),
            pytest.param(10, 4, [5, 6], id="limit-past-end"),
            pytest.param(0, None, [], id="limit-zero"),
        ],
    )
    def test_paging(self, blog, limit, offset, want):
        sql, params = QC.compile_select("it_posts", ["id"], [], [], [("id", "asc")], limit, offset, blog.dialect)
        assert params == []
        assert [r["id"] for r in blog.rows(sql, params)] == want

    def test_non_ascii_filter_value_round_trips(self, blog):
        insert_all(blog, "it_users", USER_COLUMNS, [("zoë ✓", None, 9)])
        sql, params = QC.compile_select("it_users", ["id"], [("name", "=", "zoë ✓")], [], [], dialect=blog.dialect)
        assert params == ["zoë ✓"]
        assert blog.rows(sql, params) == [{"id": 6}]


class TestTrackedUpdate:
    def fetch_user(self, engine, user_id):
        sql, params = QC.compile_select("it_users", [], [("id", "=", str(user_id))], [], [], dialect=engine.dialect)
        (row,) = engine.rows(sql, params)
        return row

    def test_only_dirty_columns_are_written(self, blog):
        before = all_rows(blog, "it_users")
        tracker = StateTracker()
        tracker.set_initial_state(self.fetch_user(blog, 2))
        tracker.set_field("email", "robert@example.org")
        tracker.set_field("age", 26)
        tracker.set_field("name", "bob")  # same text as loaded: stays clean

        assert sorted(tracker.dirty_fields()) == ["age", "email"]
        changes = tracker.get_dirty_changes()
        assert list(changes) == tracker.dirty_fields()  # one listing order for names and values
        cols = list(changes)
        sql = QC.compile_update("it_users", cols, "id", blog.dialect)
        d = blog.dialect
        assert sql == "UPDATE it_users SET %s = %s, %s = %s WHERE id = %s" % (
            cols[0], ph(d, 1), cols[1], ph(d, 2), ph(d, 3)
        )
        _, count, _ = blog.run(sql, [changes[c] for c in cols] + [tracker.get_field("id")])
        assert count == 1

        want = [dict(r) for r in before]
        want[1].update(email="robert@example.org", age=26)
        assert all_rows(blog, "it_users") == want
        tracker.hydrate_snapshot()
        assert not tracker.is_dirty()
        assert tracker.get_current_dict() == self.fetch_user(blog, 2)

    def test_setting_null(self, blog):
        tracker = StateTracker()
        tracker.set_initial_state(self.fetch_user(blog, 1))
        tracker.set_field("email", None)
        assert tracker.dirty_fields() == ["email"]
        sql = QC.compile_update("it_users", ["email"], "id", blog.dialect)
        _, count, _ = blog.run(sql, [None, 1])
        assert count == 1
        assert self.fetch_user(blog, 1)["email"] is None


class TestDelete:
    def test_deletes_exactly_one_row(self, blog):
        sql = QC.compile_delete("it_posts", "id", blog.dialect)
        assert sql == "DELETE FROM it_posts WHERE id = " + ph(blog.dialect, 1)
        _, count, _ = blog.run(sql, [3])
        assert count == 1
        assert [r["id"] for r in all_rows(blog, "it_posts")] == [1, 2, 4, 5, 6]
        _, count, _ = blog.run(sql, [3])
        assert count == 0


class TestBatchLoad:
    def in_query(self, dialect, table, column, keys):
        marks = ", ".join(QC.get_placeholder(dialect, i) for i in range(1, len(keys) + 1))
        return "SELECT id, name FROM %s WHERE %s IN (%s) ORDER BY id" % (table, column, marks)

    def test_authors_of_posts_in_one_query(self, blog):
        sql, params = QC.compile_select("it_posts", ["id", "user_id"], [("score", ">", "4")], [], [], dialect=blog.dialect)
        posts = blog.rows(sql, params)
        agg = BatchAggregator()
        added = [agg.add_key(p["user_id"]) for p in posts]
        assert added.count(True) == 4 and agg.len() == 4
        keys = agg.get_keys()
        assert sorted(keys) == [1, 2, 3, 4] and all(type(k) is int for k in keys)

        blog.statements.clear()
        authors = blog.rows(self.in_query(blog.dialect, "it_users", "id", keys), keys)
        assert len(blog.statements) == 1
        assert [(a["id"], a["name"]) for a in authors] == [(1, "alice"), (2, "bob"), (3, "carol"), (4, "dave")]
        by_id = {a["id"]: a["name"] for a in authors}
        assert all(p["user_id"] in by_id for p in posts)

    def test_string_keys_from_a_batch(self, blog):
        agg = BatchAggregator()
        assert agg.add_keys_batch(["carol", "alice", "carol", "nobody", "alice"]) == 3
        keys = agg.get_keys()
        assert sorted(keys) == ["alice", "carol", "nobody"]
        rows = blog.rows(self.in_query(blog.dialect, "it_users", "name", keys), keys)
        assert [(r["id"], r["name"]) for r in rows] == [(1, "alice"), (3, "carol")]
