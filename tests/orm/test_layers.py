"""The package's imports form layers: each module imports only modules of lower layers
(imports under TYPE_CHECKING and inside functions count), and no module outside
engines/ tells an engine by its name."""

import ast
import re
from pathlib import Path

import sablecrest

# Lowest first; a module may import any module of a lower layer, none of its own or above.
LAYERS = [
    ["kinds", "errors", "toolkit", "ops", "logs"],
    ["expr", "result"],
    ["model"],
    ["relations"],
    ["engines.base"],
    ["engines.sqlite", "engines.postgresql", "engines.mariadb"],
    ["engines"],
    ["statements", "pool", "params"],
    ["sql"],
    ["unit"],
    ["query"],
    ["session", "migrate"],
    ["revisions"],
    ["database"],
    ["", "cli"],  # the package's face; the command line
    ["__main__"],
]
ROOT = Path(sablecrest.__file__).parent


def module_name(path):
    parts = list(path.relative_to(ROOT).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def imports(path, name):
    here = name.split(".") if path.name == "__init__.py" else name.split(".")[:-1]
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = here[: len(here) - (node.level - 1)] + (node.module.split(".") if node.module else [])
            if node.module:
                yield ".".join(base)  # from .x import y: the module x (y may be a name in it)
            for alias in node.names:
                yield ".".join(base + [alias.name])


def test_imports_point_down():
    layer = {m: i for i, names in enumerate(LAYERS) for m in names}
    sources = {module_name(p): p for p in ROOT.rglob("*.py")}
    assert set(sources) <= set(layer), "modules missing from LAYERS: %s" % sorted(set(sources) - set(layer))
    wrong = []
    for name, path in sources.items():
        for target in set(imports(path, name)):
            if target in layer and target != name and layer[target] >= layer[name]:
                wrong.append("%s -> %s" % (name, target))
    assert wrong == []


def test_engine_names_are_only_known_to_engines():
    pattern = re.compile(r"""name\s*[!=]=\s*["'](sqlite|postgresql|mariadb|mysql)["']""")
    found = [str(p.relative_to(ROOT)) for p in ROOT.rglob("*.py")
             if "engines" not in p.relative_to(ROOT).parts and pattern.search(p.read_text(encoding="utf-8"))]
    assert found == []
