"""A value of the wrong type to a TypedModel's constructor."""

from library import Node

root = Node(label=3)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
