// Texts that look like mistakes but are kept on purpose. Programs written
// against earlier releases match on them (in `except` clauses, logs, doc
// tests, pickled type names), so each stays byte for byte as it is: change
// one only together with a release note that says so. Every text that is
// fixed for compatibility lives here, and only here.
#pragma once

namespace vicinor::compat {

// Refusing a second interpreter. The wording and the link are historical;
// callers compare the whole message.
inline constexpr const char* kSubinterpreterMessage =
    "Tessel modules do not yet support subinterpreters, see "
    "https://github.com/vicinor/vicinor/issues/1";

// The class's qualified name. The class lives in the extension module, but
// its repr, pickles of it and type checks written against earlier releases
// all say "builtins".
inline constexpr const char* kGeocoderTypeName = "builtins.ReverseGeocoder";

// A separator outside ASCII. "by" and "ASII" are the historical spelling
// that callers match on; the code point follows in parentheses.
inline constexpr const char* kNonAsciiSeparatorPrefix =
    "Value separator must by an ASII character (got ";

// A path with an embedded NUL, on every platform alike, though it names
// another platform's API: one text for one fault, whatever the OS.
inline constexpr const char* kPathHasNul = "strings passed to WinAPI cannot contain NULs";

// The target types named when an argument has the wrong type ("'int' object
// cannot be converted to 'PyString'"): historical names, not Python's own
// "str" and "bool".
inline constexpr const char* kStrTargetName = "PyString";
inline constexpr const char* kBoolTargetName = "PyBool";

}  // namespace vicinor::compat
