"""A version field declared nullable (a ValueError when the class is declared)."""

from sablecrest import Field, Model


class Note(Model):
    id = Field(int, primary_key=True)
    version = Field(int, version=True, nullable=True)  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
