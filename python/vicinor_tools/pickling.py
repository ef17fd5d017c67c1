"""What a geocoder's pickle calls, and an unpickler that allows only that.

A pickled geocoder is `geocoder_from_bytes(data)`, with `data` the bytes
`save` writes. Allowing that one global is enough to accept geocoders from
an untrusted source while refusing every other callable."""

from __future__ import annotations

import io
import pickle

from vicinor import ReverseGeocoder

# The one global a geocoder's pickle names, as (module, name).
GEOCODER_GLOBAL = (__name__, "geocoder_from_bytes")


def geocoder_from_bytes(data: bytes) -> ReverseGeocoder:
    """The geocoder saved in `data`; nothing else is done with it."""
    return ReverseGeocoder.from_bytes(data)


class GeocoderUnpickler(pickle.Unpickler):
    """Unpickles plain data and geocoders; any other global raises
    pickle.UnpicklingError."""

    def find_class(self, module: str, name: str) -> object:
        if (module, name) == GEOCODER_GLOBAL:
            return geocoder_from_bytes
        raise pickle.UnpicklingError(f"global '{module}.{name}' is forbidden")


def loads(data: bytes) -> object:
    """pickle.loads allowing geocoders and plain data only."""
    return GeocoderUnpickler(io.BytesIO(data)).load()
