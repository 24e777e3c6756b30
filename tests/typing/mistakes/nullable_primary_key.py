"""A nullable primary key (a ValueError when the class is declared)."""

from sablecrest import Field, Model


class Tag(Model):
    id = Field(int, primary_key=True, nullable=True)  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
