"""The ``quorvel`` command's first home, kept so that ``python -m quorvel_cli``
and ``from quorvel_cli import main`` go on working; the command itself lives
in ``quorvel_lab.cli``."""

from quorvel_lab.cli import main, parse_assignment, parse_seconds, parse_value, report

__all__ = ["main", "parse_value", "parse_assignment", "parse_seconds", "report"]
