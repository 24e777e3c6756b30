"""An enum field given its member's value instead of the member (a TypeError at run
time)."""

from library import Event


def cheer(ev: Event) -> None:
    ev.mood = "glad"  # type: ignore[assignment]  # pyright: ignore[reportAttributeAccessIssue]
