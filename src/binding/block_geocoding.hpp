// The block geocoder for the companion package's `vicinor batch`: cutting
// a file's bytes into blocks of whole rows, reading its header, and
// geocoding a block into output bytes, each without the GIL. Private
// (leading underscore): the command is their one caller.
#pragma once

#include "binding/python.hpp"

namespace vicinor::binding {

PyObject* Geocoder_cut_csv_rows(PyObject* self, PyObject* args);
PyObject* Geocoder_read_csv_record(PyObject* self, PyObject* args);
PyObject* Geocoder_geocode_csv_block(PyObject* self, PyObject* args);
PyObject* Geocoder_csv_block_coordinates(PyObject* self, PyObject* args);

inline constexpr const char kCutCsvRowsDoc[] =
    "_cut_csv_rows(data, sep, final, max_rows, max_bytes, row_limit)\n--\n\n"
    "(bytes, lines, rows, too_long_line): the longest run of whole rows at the start\n"
    "of data, at most max_rows rows and, after the first, max_bytes bytes. CR, LF\n"
    "and CR LF end rows; quoted fields may hold them. too_long_line is None, or the\n"
    "line (from 0) of a row longer than row_limit bytes.";
inline constexpr const char kReadCsvRecordDoc[] =
    "_read_csv_record(data, sep)\n--\n\nThe fields of the first row of data, as a list of str.";
inline constexpr const char kGeocodeCsvBlockDoc[] =
    "_geocode_csv_block($self, data, first_line, options, with_header, supplied=None)\n--\n\n"
    "Geocodes the whole rows of data, whose first line is first_line of the file,\n"
    "into (output, rows, skipped, bad). options is (sep, header, lat_column,\n"
    "lon_column, max_km, jsonl, skip_bad, neighbours, extra_columns); neighbours 0\n"
    "writes the nearest place, N the N nearest ranked; extra_columns, a list of\n"
    "(name, flag), are written after distance_km from supplied. supplied is None or\n"
    "(rows, km, extras) for the good rows: rows (int64) and km (float64) buffers\n"
    "replacing the search, or both None, and extras the extra columns' str values,\n"
    "row after row. bad is None or (line, reason): the first bad row, which ends\n"
    "the run (output empty) unless skip_bad.";
inline constexpr const char kCsvBlockCoordinatesDoc[] =
    "_csv_block_coordinates($self, data, first_line, options)\n--\n\n"
    "(lats, lons): the good rows' coordinates as float64 bytes, read as\n"
    "_geocode_csv_block reads them.";

}  // namespace vicinor::binding
