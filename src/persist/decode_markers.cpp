#include "persist/decode_markers.hpp"

namespace vicinor::persist::msgpack {

std::string marker_name(std::uint8_t m) {
    static constexpr const char* kNamed[] = {
        "Null",    "Reserved", "False",   "True",    "Bin8",    "Bin16",    "Bin32",  "Ext8",
        "Ext16",   "Ext32",    "F32",     "F64",     "U8",      "U16",      "U32",    "U64",
        "I8",      "I16",      "I32",     "I64",     "FixExt1", "FixExt2",  "FixExt4", "FixExt8",
        "FixExt16", "Str8",    "Str16",   "Str32",   "Array16", "Array32",  "Map16",  "Map32",
    };
    if (is_pos_fixint(m)) return "FixPos(" + std::to_string(m) + ")";
    if (is_neg_fixint(m)) return "FixNeg(" + std::to_string(static_cast<std::int8_t>(m)) + ")";
    if (is_fixmap(m)) return "FixMap(" + std::to_string(m & 0x0f) + ")";
    if (is_fixarray(m)) return "FixArray(" + std::to_string(m & 0x0f) + ")";
    if (is_fixstr(m)) return "FixStr(" + std::to_string(m & 0x1f) + ")";
    return kNamed[m - kNil];
}

}  // namespace vicinor::persist::msgpack
