// MessagePack marker bytes as the saved-file reader classifies them.
#pragma once

#include <cstdint>
#include <string>

namespace vicinor::persist::msgpack {

inline constexpr std::uint8_t kNil = 0xc0;
inline constexpr std::uint8_t kReserved = 0xc1;
inline constexpr std::uint8_t kFalse = 0xc2;
inline constexpr std::uint8_t kTrue = 0xc3;
inline constexpr std::uint8_t kBin8 = 0xc4;
inline constexpr std::uint8_t kBin16 = 0xc5;
inline constexpr std::uint8_t kBin32 = 0xc6;
inline constexpr std::uint8_t kExt8 = 0xc7;
inline constexpr std::uint8_t kExt16 = 0xc8;
inline constexpr std::uint8_t kExt32 = 0xc9;
inline constexpr std::uint8_t kF32 = 0xca;
inline constexpr std::uint8_t kF64 = 0xcb;
inline constexpr std::uint8_t kU8 = 0xcc;
inline constexpr std::uint8_t kU16 = 0xcd;
inline constexpr std::uint8_t kU32 = 0xce;
inline constexpr std::uint8_t kU64 = 0xcf;
inline constexpr std::uint8_t kI8 = 0xd0;
inline constexpr std::uint8_t kI16 = 0xd1;
inline constexpr std::uint8_t kI32 = 0xd2;
inline constexpr std::uint8_t kI64 = 0xd3;
inline constexpr std::uint8_t kFixExt1 = 0xd4;
inline constexpr std::uint8_t kFixExt16 = 0xd8;
inline constexpr std::uint8_t kStr8 = 0xd9;
inline constexpr std::uint8_t kStr16 = 0xda;
inline constexpr std::uint8_t kStr32 = 0xdb;
inline constexpr std::uint8_t kArray16 = 0xdc;
inline constexpr std::uint8_t kArray32 = 0xdd;
inline constexpr std::uint8_t kMap16 = 0xde;
inline constexpr std::uint8_t kMap32 = 0xdf;

constexpr bool is_pos_fixint(std::uint8_t m) { return m <= 0x7f; }
constexpr bool is_neg_fixint(std::uint8_t m) { return m >= 0xe0; }
constexpr bool is_fixmap(std::uint8_t m) { return m >= 0x80 && m <= 0x8f; }
constexpr bool is_fixarray(std::uint8_t m) { return m >= 0x90 && m <= 0x9f; }
constexpr bool is_fixstr(std::uint8_t m) { return m >= 0xa0 && m <= 0xbf; }

constexpr bool is_unsigned_int(std::uint8_t m) {
    return is_pos_fixint(m) || (m >= kU8 && m <= kU64);
}
constexpr bool is_signed_int(std::uint8_t m) { return is_neg_fixint(m) || (m >= kI8 && m <= kI64); }
constexpr bool is_integer(std::uint8_t m) { return is_unsigned_int(m) || is_signed_int(m); }
constexpr bool is_nil_or_bool(std::uint8_t m) { return m == kNil || m == kFalse || m == kTrue; }
constexpr bool is_float(std::uint8_t m) { return m == kF32 || m == kF64; }
constexpr bool is_str(std::uint8_t m) { return is_fixstr(m) || (m >= kStr8 && m <= kStr32); }
constexpr bool is_bin(std::uint8_t m) { return m >= kBin8 && m <= kBin32; }
constexpr bool is_array(std::uint8_t m) { return is_fixarray(m) || m == kArray16 || m == kArray32; }
constexpr bool is_map(std::uint8_t m) { return is_fixmap(m) || m == kMap16 || m == kMap32; }
constexpr bool is_ext(std::uint8_t m) {
    return (m >= kExt8 && m <= kExt32) || (m >= kFixExt1 && m <= kFixExt16);
}

// "FixPos(5)", "Str8", "Reserved", ...: the name used in
// "wrong msgpack marker {name}".
std::string marker_name(std::uint8_t m);

}  // namespace vicinor::persist::msgpack
