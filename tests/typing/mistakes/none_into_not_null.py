"""None assigned to a NOT NULL field (the flush would refuse it)."""

from library import Author


def forget(ann: Author) -> None:
    ann.name = None  # type: ignore[assignment]  # pyright: ignore[reportAttributeAccessIssue]
