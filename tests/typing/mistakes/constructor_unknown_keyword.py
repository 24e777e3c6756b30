"""A misspelt keyword to a TypedModel's constructor."""

from library import Node

root = Node(lable="root")  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
