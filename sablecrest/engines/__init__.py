"""The engines sablecrest speaks, by URL scheme. Each engine's knowledge lives in its own
module; the rest of the package asks an engine what it can do, never which it is."""

from __future__ import annotations

from types import ModuleType
from typing import Dict, Tuple

from . import mariadb, postgresql, sqlite
from .base import URL, Engine, url_options

_SCHEMES: Dict[str, ModuleType] = {
    "sqlite": sqlite,
    "postgresql": postgresql,
    "postgres": postgresql,
    "mysql": mariadb,
    "mariadb": mariadb,
}
ENGINES: Dict[str, Engine] = {m.ENGINE.name: m.ENGINE for m in (sqlite, postgresql, mariadb)}
SCHEMES = "sqlite://, postgresql:// (or postgres://), mysql:// (or mariadb://)"


def resolve(url: str, asynchronous: bool = False) -> Tuple[ModuleType, URL]:
    """The engine module for a database URL, and the URL parsed by that engine, its
    query string checked and typed as the options of the engine's sync (or async)
    driver: a malformed option is a ValueError naming it, before anything connects."""
    if not isinstance(url, str):
        raise TypeError("a database URL is a str, got %s" % type(url).__name__)
    scheme, sep, _ = url.partition("://")
    module = _SCHEMES.get(scheme.lower().split("+", 1)[0]) if sep else None
    if module is None:
        raise ValueError("unsupported database URL %r: the supported schemes are %s" % (url, SCHEMES))
    engine: Engine = module.ENGINE
    parsed = engine.parse_url(url)
    if parsed.query:
        adapter = module.ASYNC if asynchronous else module.SYNC
        parsed = parsed._replace(query=url_options(parsed, adapter.driver, adapter.options))
    return module, parsed


def parse_url(url: str) -> URL:
    return resolve(url)[1]


__all__ = ["resolve", "parse_url", "ENGINES", "SCHEMES", "URL", "Engine"]
