"""Writes vicinor_tools' table of country names, from pycountry's ISO 3166
data, when the wheel is built, so that looking a name up at run time needs
neither pycountry's database nor a network.

    python scripts/generate_country_names.py OUT.py
"""

from __future__ import annotations

import sys

import pycountry

# Codes in use in the bundled data that ISO 3166 does not (yet) assign.
USER_ASSIGNED = {"XK": "Kosovo"}


def country_names() -> dict[str, str]:
    names = dict(USER_ASSIGNED)
    for country in pycountry.countries:
        # The common name where ISO's is the formal one ("Bolivia", not
        # "Bolivia, Plurinational State of").
        names[country.alpha_2] = getattr(country, "common_name", country.name)
    return dict(sorted(names.items()))


def main() -> int:
    (out,) = sys.argv[1:]
    lines = [
        '"""Country names by ISO 3166 alpha-2 code. Generated when the wheel is',
        f'built, from pycountry {pycountry.__version__}; do not edit."""',
        "",
        "COUNTRY_NAMES: dict[str, str] = {",
        *(f"    {code!r}: {name!r}," for code, name in country_names().items()),
        "}",
        "",
    ]
    with open(out, "w", encoding="utf-8", newline="\n") as file:
        file.write("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
