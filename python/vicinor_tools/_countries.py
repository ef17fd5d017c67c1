"""Country names beside the ISO codes of the bundled table."""

from __future__ import annotations

from ._country_names import COUNTRY_NAMES


def country_name(code: str) -> str | None:
    """The country's common English name for an ISO 3166 alpha-2 code
    ("FR" -> "France"), or None for a code that names no country."""
    return COUNTRY_NAMES.get(code.upper())
