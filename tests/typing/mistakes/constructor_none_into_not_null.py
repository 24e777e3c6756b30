"""None for a NOT NULL field in a TypedModel's constructor."""

from library import Node

root = Node(label=None)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
