"""pytest plugin for runs under AddressSanitizer: lifts hypothesis deadlines.

Sanitizer overhead makes single examples many times slower, which hypothesis
would report as deadline errors that say nothing about the code.
"""

from hypothesis import settings

settings.register_profile("sanitized", deadline=None)
settings.load_profile("sanitized")
