"""The CSV text reaches the geocoder as the exact UTF-8 of the str, whatever
width the host stores its characters in."""

import pytest

from conftest import ReverseGeocoder

# Characters at every UTF-8 length boundary, and in each storage width.
LATIN1 = "Zürich ÿ\x80\xa0"
UCS2 = "Ā 東京 \u07ff\u0800\uffff"
UCS4 = "🏔 \U00010000\U0010ffff"
# Astral characters whose low 16 bits look like surrogates.
SURROGATE_LOOKALIKES = "\U0001d800\U0001dfff\U0010d900 \ud7ff\ue000"


@pytest.mark.parametrize(
    "name",
    [LATIN1, UCS2, UCS4, LATIN1 + UCS2, UCS2 + UCS4 + LATIN1, SURROGATE_LOOKALIKES, "\x7f",
     "é" * 1000, "a" * 40 + "東" + "b" * 9, ("東" * 5 + "x" * 3) * 3000, "🏔" * 20000,
     "x" * 20000 + "é", "é" + "x" * 40000],
)
def test_every_storage_width_encodes_to_the_same_utf8(name):
    text = f"lat,lon,name\n1,2,{name}\n3,4,after\n"
    geocoder = ReverseGeocoder(text)
    assert geocoder.get_nearest_as_string(1, 2) == f"1,2,{name}"
    assert geocoder.get_nearest_as_dict(3, 4) == {"lat": "3", "lon": "4", "name": "after"}


def test_non_ascii_str_subclasses_are_encoded_too():
    class Text(str):
        pass

    geocoder = ReverseGeocoder(Text("lat,lon,名\n1,2,🏔\n"))
    assert geocoder.get_nearest_as_dict(1, 2) == {"lat": "1", "lon": "2", "名": "🏔"}


@pytest.mark.parametrize(
    "text",
    [
        "lat,lon,name\n1,2,\ud800\n",
        "lat,lon,name\n1,2,ÿ\udfff\n",
        "lat,lon,name\n1,2,🏔 x\udc80\n",
        "\udbff",
        # Past the first stretch of characters the encoder sizes at once.
        "lat,lon,name\n1,2," + "東" * 20000 + "\ud800\n",
        # In a later step written straight away, in each storage width.
        "lat,lon,name\n1,2," + "é" * 3 + "x" * 40000 + "\udbff\n",
        "lat,lon,name\n1,2," + "🏔" + "x" * 40000 + "\udc00 \n",
    ],
)
def test_a_lone_surrogate_raises_exactly_what_str_encode_raises(text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as raised:
        ReverseGeocoder(text)
    assert type(raised.value) is UnicodeEncodeError
    assert str(raised.value) == str(expected.value)
    assert (raised.value.start, raised.value.end) == (expected.value.start, expected.value.end)


@pytest.mark.parametrize("wide", ["", "é", "東", "🏔"])
@pytest.mark.parametrize("ending", ["\n", "\r\n", "", "\n\n"])
def test_line_ends_are_counted_in_every_storage_width(wide, ending):
    # Rows of every width, long enough that line ends fall on both sides of
    # the encoder's step boundaries (every 16,384 characters).
    rows = [f"{k % 80},{k // 80},{wide}{'x' * (k % 37)}" for k in range(2000)]
    text = "lat,lon,name\n" + "\n".join(rows) + ending
    geocoder = ReverseGeocoder(text)
    for k in (0, 1, 999, 1998, 1999):
        assert geocoder.get_nearest_as_string(k % 80, k // 80) == rows[k]
