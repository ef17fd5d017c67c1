#include "binding/utf8_text.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "binding/py_ref.hpp"

namespace vicinor::binding {
namespace {

constexpr std::size_t kNoSize = static_cast<std::size_t>(-1);

bool is_surrogate(std::uint32_t code) noexcept { return code >= 0xD800 && code <= 0xDFFF; }

// Bytes needed for `units`, or kNoSize at the first lone surrogate (a str
// stores a pair as one code point, so any surrogate unit is unpaired).
template <class Unit>
std::size_t utf8_size(const Unit* units, std::size_t count) noexcept {
    std::size_t size = count;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t code = units[i];
        if (code < 0x80) continue;
        if constexpr (sizeof(Unit) == 1) {
            ++size;
        } else {
            if (code < 0x800) {
                size += 1;
            } else if (code < 0x10000) {
                if (is_surrogate(code)) return kNoSize;
                size += 2;
            } else {
                size += 3;
            }
        }
    }
    return size;
}

// Writes exactly the bytes utf8_size counted.
template <class Unit>
void write_utf8(const Unit* units, std::size_t count, char* out) noexcept {
    auto* o = reinterpret_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t code = units[i];
        if (code < 0x80) {
            *o++ = static_cast<unsigned char>(code);
        } else if (code < 0x800) {
            *o++ = static_cast<unsigned char>(0xC0 | (code >> 6));
            *o++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *o++ = static_cast<unsigned char>(0xE0 | (code >> 12));
            *o++ = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
        } else {
            *o++ = static_cast<unsigned char>(0xF0 | (code >> 18));
            *o++ = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
        }
    }
}

template <class Unit>
bool encode_units(PyObject* str, const void* data, std::size_t count, std::string& out) {
    const auto* units = static_cast<const Unit*>(data);
    const std::size_t size = utf8_size(units, count);
    if (size == kNoSize) {
        // The host's encoder words the error (position, reason) exactly as
        // str.encode would; it cannot succeed on this text.
        PyRef bytes(PyUnicode_AsUTF8String(str));
        if (!bytes) return false;
        out.assign(PyBytes_AS_STRING(bytes.get()),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
        return true;
    }
    out.resize(size);
    if constexpr (sizeof(Unit) == 1) {
        if (size == count) {
            std::memcpy(out.data(), units, count);
            return true;
        }
    }
    write_utf8(units, count, out.data());
    return true;
}

}  // namespace

bool encode_utf8(PyObject* str, std::string& out) {
    const auto count = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const void* data = PyUnicode_DATA(str);
    if (PyUnicode_IS_ASCII(str)) {
        out.assign(static_cast<const char*>(data), count);
        return true;
    }
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            return encode_units<Py_UCS1>(str, data, count, out);
        case PyUnicode_2BYTE_KIND:
            return encode_units<Py_UCS2>(str, data, count, out);
        default:
            return encode_units<Py_UCS4>(str, data, count, out);
    }
}

}  // namespace vicinor::binding
