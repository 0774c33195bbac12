// The JSON text the command line prints for a stored MessagePack value,
// made straight from its bytes: no object per element, and the same bytes
// the general path (decode, convert to the JSON form, encode) gives.
//
// It covers what stored values almost always hold: nil, booleans, integers,
// floats (NaN and the infinities in their {"$float": ...} form), text,
// bytes ({"$bytes": "<base64>"}), arrays and maps keyed by text.  Anything
// else is left to the general path, which says what is wrong when something
// is: an extension type, a map key that is not text or that repeats, text
// that is not UTF-8, nesting deeper than kMaxJsonDepth, or bytes that are not
// exactly one MessagePack value.
#pragma once

#include <string>
#include <string_view>

namespace velk {

// Containers nested deeper than this are left to the general path.
inline constexpr int kMaxJsonDepth = 200;

// Appends the JSON text of the one MessagePack value in `msgpack` to *out;
// false (with *out in an unspecified state) when the value is one the
// general path must render.
bool AppendJsonOfMsgpack(std::string_view msgpack, std::string* out);

// Appends a stored key's JSON form: a string when the key is UTF-8, else
// {"$bytes": "<base64>"}.
void AppendJsonOfKey(std::string_view key, std::string* out);

}  // namespace velk
