"""A str assigned to a UUID field (a TypeError at run time: give a uuid.UUID)."""

from library import Event


def rekey(ev: Event) -> None:
    ev.key = "12345678-1234-5678-1234-567812345678"  # type: ignore[assignment]  # pyright: ignore[reportAttributeAccessIssue]
