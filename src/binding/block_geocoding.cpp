#include "binding/block_geocoding.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/geocoder_type.hpp"
#include "binding/py_ref.hpp"
#include "binding/released_gil.hpp"
#include "binding/result_strings.hpp"
#include "common/text.hpp"
#include "csv/record.hpp"
#include "csv/row_cursor.hpp"
#include "geocoder/block_geocoder.hpp"
#include "geocoder/neighbour_batch.hpp"

namespace vicinor::binding {
namespace {

// A buffer held for the call and released on every way out.
class HeldBytes {
public:
    HeldBytes() = default;
    HeldBytes(const HeldBytes&) = delete;
    HeldBytes& operator=(const HeldBytes&) = delete;
    ~HeldBytes() {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
    }
    Py_buffer* view() noexcept { return &view_; }
    std::string_view text() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

// An ASCII separator: one byte of the file.
bool separator_from(int code, char& out) {
    if (code < 1 || code > 127) {
        raise_message(PyExc_ValueError, "the separator must be one ASCII character");
        return false;
    }
    out = static_cast<char>(code);
    return true;
}

bool sizes_from(Py_ssize_t a, Py_ssize_t b, Py_ssize_t c) {
    if (a < 0 || b < 0 || c < 0) {
        raise_message(PyExc_ValueError, "sizes must not be negative");
        return false;
    }
    return true;
}

// The header's fields as str: the names the run's options refer to.
bool header_from(PyObject* list, std::vector<std::string>& out) {
    if (!PyList_Check(list)) {
        raise_message(PyExc_TypeError, "the header must be a list of str");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Py_ssize_t size = 0;
        PyObject* item = PyList_GET_ITEM(list, i);
        const char* utf8 = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        if (utf8 == nullptr) {
            if (!PyErr_Occurred()) raise_message(PyExc_TypeError, "the header must be a list of str");
            return false;
        }
        out.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    return true;
}

// Extra columns as a list of (name, flag) pairs.
bool extra_columns_from(PyObject* list, std::vector<BlockOptions::ExtraColumn>& out) {
    if (!PyList_Check(list)) {
        raise_message(PyExc_TypeError, "extra columns must be a list of (str, bool)");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        const char* utf8 = nullptr;
        Py_ssize_t size = 0;
        int flag = 0;
        if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "s#p", &utf8, &size, &flag)) {
            if (!PyErr_Occurred()) {
                raise_message(PyExc_TypeError, "extra columns must be a list of (str, bool)");
            }
            return false;
        }
        out.push_back({std::string(utf8, static_cast<std::size_t>(size)), flag != 0});
    }
    return true;
}

// The run's options from their tuple (see kGeocodeCsvBlockDoc).
bool block_options_from(PyObject* tuple, BlockOptions& options) {
    int sep_code = 0;
    PyObject* header = nullptr;
    Py_ssize_t lat_column = 0;
    Py_ssize_t lon_column = 0;
    PyObject* max_km = nullptr;
    int jsonl = 0;
    int skip_bad = 0;
    Py_ssize_t neighbours = 0;
    PyObject* extras = nullptr;
    if (!PyTuple_Check(tuple)) {
        raise_message(PyExc_TypeError, "options must be a tuple");
        return false;
    }
    if (!PyArg_ParseTuple(tuple, "COnnOppnO:options", &sep_code, &header, &lat_column,
                          &lon_column, &max_km, &jsonl, &skip_bad, &neighbours, &extras)) {
        return false;
    }
    if (!separator_from(sep_code, options.separator) ||
        !sizes_from(neighbours, lat_column, lon_column) || !header_from(header, options.header) ||
        !extra_columns_from(extras, options.extra_columns)) {
        return false;
    }
    options.neighbours = static_cast<std::size_t>(neighbours);
    options.lat_column = static_cast<std::size_t>(lat_column);
    options.lon_column = static_cast<std::size_t>(lon_column);
    if (max_km != Py_None) {
        options.max_km = PyFloat_AsDouble(max_km);
        if (options.max_km == -1.0 && PyErr_Occurred()) return false;
        if (std::isnan(options.max_km) || options.max_km < 0) {
            raise_message(PyExc_ValueError, "max_km must not be negative");
            return false;
        }
    }
    options.format = jsonl ? BlockFormat::kJsonLines : BlockFormat::kCsv;
    options.bad_rows = skip_bad ? BadRowPolicy::kSkip : BadRowPolicy::kFail;
    return true;
}

// A buffer grown beyond this by one huge block is not kept.
constexpr std::size_t kKeptBuffer = std::size_t{64} << 20;

}  // namespace

PyObject* Geocoder_cut_csv_rows(PyObject*, PyObject* args) {
    return guard_entry([&]() -> PyObject* {
        HeldBytes data;
        int sep_code = 0;
        int final = 0;
        Py_ssize_t max_rows = 0;
        Py_ssize_t max_bytes = 0;
        Py_ssize_t row_limit = 0;
        if (!PyArg_ParseTuple(args, "y*Cpnnn:_cut_csv_rows", data.view(), &sep_code, &final,
                              &max_rows, &max_bytes, &row_limit)) {
            return nullptr;
        }
        char sep = ',';
        if (!separator_from(sep_code, sep) || !sizes_from(max_rows, max_bytes, row_limit)) {
            return nullptr;
        }
        csv::RowCut cut;
        {
            ReleasedGil released;
            cut = csv::cut_csv_rows(data.text(), sep, final != 0, static_cast<std::size_t>(max_rows),
                                    static_cast<std::size_t>(max_bytes),
                                    static_cast<std::size_t>(row_limit));
        }
        if (cut.too_long) {
            return Py_BuildValue("(nnnn)", Py_ssize_t{0}, Py_ssize_t{0}, Py_ssize_t{0},
                                 static_cast<Py_ssize_t>(cut.too_long_line));
        }
        return Py_BuildValue("(nnnO)", static_cast<Py_ssize_t>(cut.bytes),
                             static_cast<Py_ssize_t>(cut.lines), static_cast<Py_ssize_t>(cut.rows),
                             Py_None);
    });
}

PyObject* Geocoder_read_csv_record(PyObject*, PyObject* args) {
    return guard_entry([&]() -> PyObject* {
        HeldBytes data;
        int sep_code = 0;
        if (!PyArg_ParseTuple(args, "y*C:_read_csv_record", data.view(), &sep_code)) return nullptr;
        char sep = ',';
        if (!separator_from(sep_code, sep)) return nullptr;
        if (!text::is_valid_utf8(data.text())) {
            raise_message(PyExc_ValueError, "the row is not UTF-8 text");
            return nullptr;
        }
        csv::CsvRecord record;
        csv::CsvRowCursor cursor(data.text(), sep, true);
        if (cursor.next(record) != csv::CsvRowCursor::Step::kRow) return PyList_New(0);
        PyRef fields(PyList_New(static_cast<Py_ssize_t>(record.size())));
        if (!fields) return nullptr;
        for (std::size_t i = 0; i < record.size(); ++i) {
            PyObject* field = new_str(record.field(i));
            if (field == nullptr) return nullptr;
            PyList_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), field);
        }
        return fields.release();
    });
}

PyObject* Geocoder_csv_block_coordinates(PyObject* self, PyObject* args) {
    return guard_entry([&]() -> PyObject* {
        HeldBytes data;
        Py_ssize_t first_line = 0;
        PyObject* option_tuple = nullptr;
        if (!PyArg_ParseTuple(args, "y*nO:_csv_block_coordinates", data.view(), &first_line,
                              &option_tuple)) {
            return nullptr;
        }
        GeocoderObject* geocoder = as_geocoder(self);
        BlockOptions options;
        if (geocoder == nullptr || !sizes_from(first_line, 0, 0) ||
            !block_options_from(option_tuple, options)) {
            return nullptr;
        }
        Result<BlockGeocoder> block_geocoder = BlockGeocoder::make(geocoder->record, std::move(options));
        if (!block_geocoder) {
            raise_message(PyExc_ValueError, block_geocoder.error().message());
            return nullptr;
        }
        std::vector<double> lats;
        std::vector<double> lons;
        {
            ReleasedGil released;
            block_geocoder->coordinates(data.text(), static_cast<std::size_t>(first_line), lats,
                                        lons);
        }
        // Never a null pointer, which y# would turn into None.
        auto bytes_of = [](const std::vector<double>& values) {
            return values.empty() ? "" : reinterpret_cast<const char*>(values.data());
        };
        return Py_BuildValue("(y#y#)", bytes_of(lats),
                             static_cast<Py_ssize_t>(lats.size() * sizeof(double)), bytes_of(lons),
                             static_cast<Py_ssize_t>(lons.size() * sizeof(double)));
    });
}

PyObject* Geocoder_geocode_csv_block(PyObject* self, PyObject* args) {
    return guard_entry([&]() -> PyObject* {
        HeldBytes data;
        Py_ssize_t first_line = 0;
        PyObject* option_tuple = nullptr;
        int with_header = 0;
        PyObject* supplied_tuple = Py_None;
        if (!PyArg_ParseTuple(args, "y*nOp|O:_geocode_csv_block", data.view(), &first_line,
                              &option_tuple, &with_header, &supplied_tuple)) {
            return nullptr;
        }
        GeocoderObject* geocoder = as_geocoder(self);
        if (geocoder == nullptr) return nullptr;
        BlockOptions options;
        if (!sizes_from(first_line, 0, 0) || !block_options_from(option_tuple, options)) {
            return nullptr;
        }
        const bool neighbours = options.neighbours > 0;
        // Answers found by the caller: rows and km as int64 and float64
        // buffers (or None), and the extra columns' texts.
        HeldBytes supplied_rows;
        HeldBytes supplied_km;
        PyObject* extra_list = nullptr;
        std::vector<std::string> extra_texts;
        std::vector<std::int64_t> supplied_copy_rows;
        std::vector<double> supplied_copy_km;
        SuppliedAnswers supplied;
        const bool has_supplied = supplied_tuple != Py_None;
        if (has_supplied) {
            PyObject* rows_object = nullptr;
            PyObject* km_object = nullptr;
            if (!PyTuple_Check(supplied_tuple) ||
                !PyArg_ParseTuple(supplied_tuple, "OOO!:supplied", &rows_object, &km_object,
                                  &PyList_Type, &extra_list)) {
                if (!PyErr_Occurred()) raise_message(PyExc_TypeError, "supplied must be a tuple");
                return nullptr;
            }
            if ((rows_object == Py_None) != (km_object == Py_None)) {
                raise_message(PyExc_ValueError, "supply both rows and km, or neither");
                return nullptr;
            }
            if (!header_from(extra_list, extra_texts)) return nullptr;
            supplied.extras = extra_texts.data();
            const std::size_t per_row = options.extra_columns.size();
            if (per_row > 0 && extra_texts.size() % per_row != 0) {
                raise_message(PyExc_ValueError, "the supplied answers differ in length");
                return nullptr;
            }
            supplied.count = per_row > 0 ? extra_texts.size() / per_row : 0;
            if (rows_object != Py_None) {
                if (PyObject_GetBuffer(rows_object, supplied_rows.view(), PyBUF_C_CONTIGUOUS) != 0 ||
                    PyObject_GetBuffer(km_object, supplied_km.view(), PyBUF_C_CONTIGUOUS) != 0) {
                    return nullptr;
                }
                // With neighbours, every point's ranks.
                const std::size_t ranks = std::max<std::size_t>(options.neighbours, 1);
                const std::size_t count = supplied_rows.text().size() / sizeof(std::int64_t);
                if (supplied_rows.text().size() % sizeof(std::int64_t) != 0 ||
                    supplied_km.text().size() != count * sizeof(double) || count % ranks != 0 ||
                    (per_row > 0 && extra_texts.size() != count / ranks * per_row)) {
                    raise_message(PyExc_ValueError, "the supplied answers differ in length");
                    return nullptr;
                }
                // Copied, so that no other thread can change them under the search.
                supplied_copy_rows.resize(count);
                supplied_copy_km.resize(count);
                if (count > 0) {  // an empty buffer may have no address
                    std::memcpy(supplied_copy_rows.data(), supplied_rows.text().data(), count * 8);
                    std::memcpy(supplied_copy_km.data(), supplied_km.text().data(), count * 8);
                }
                supplied.rows = supplied_copy_rows.data();
                supplied.km = supplied_copy_km.data();
                supplied.count = count / ranks;
            }
        }
        Result<BlockGeocoder> block_geocoder = BlockGeocoder::make(geocoder->record, std::move(options));
        if (!block_geocoder) {
            raise_message(PyExc_ValueError, block_geocoder.error().message());
            return nullptr;
        }
        // Before the GIL goes: preparing writes to the record.
        prepare_lookups_once(geocoder);
        if (neighbours) prepare_neighbours(geocoder->record);
        // One output buffer per thread, reused block after block; the
        // result is copied out of it.
        thread_local std::string buffer;
        buffer.clear();
        Result<BlockOutput> output = Error("");
        {
            ReleasedGil released;
            if (with_header) buffer = block_geocoder->header_line();
            output = block_geocoder->geocode(data.text(), static_cast<std::size_t>(first_line),
                                             buffer, has_supplied ? &supplied : nullptr);
        }
        if (!output) {
            report_error_value(output.error());
            return nullptr;
        }
        // Filled without the GIL: nobody else sees the new object yet, and
        // the other threads' blocks need not wait for the copy.
        PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(buffer.size())));
        if (!bytes) return nullptr;
        {
            ReleasedGil released;
            std::memcpy(PyBytes_AS_STRING(bytes.get()), buffer.data(), buffer.size());
            if (buffer.capacity() > kKeptBuffer) std::string().swap(buffer);
        }
        PyRef bad;
        if (output->bad) {
            PyRef reason(new_str(output->bad->reason));
            if (!reason) return nullptr;
            bad = PyRef(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(output->bad->line),
                                      reason.get()));
        } else {
            bad = PyRef(Py_NewRef(Py_None));
        }
        if (!bad) return nullptr;
        return Py_BuildValue("(OnnO)", bytes.get(), static_cast<Py_ssize_t>(output->rows),
                             static_cast<Py_ssize_t>(output->skipped), bad.get());
    });
}

}  // namespace vicinor::binding
