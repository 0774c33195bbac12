#include "core/base/json_text.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <type_traits>
#include <vector>

#include "core/base/endian.h"
#include "core/base/utf8.h"

namespace velk {
namespace {

void AppendBase64(std::string_view data, std::string* out) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  size_t n = data.size();
  for (; n >= 3; n -= 3, p += 3) {
    const uint32_t v = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    const char quad[4] = {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], kAlphabet[v & 63]};
    out->append(quad, 4);
  }
  if (n > 0) {
    const uint32_t v = uint32_t{p[0]} << 16 | (n == 2 ? uint32_t{p[1]} << 8 : 0);
    const char quad[4] = {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], n == 2 ? kAlphabet[(v >> 6) & 63] : '=', '='};
    out->append(quad, 4);
  }
}

// A JSON string of valid UTF-8 text: quotes, backslashes and control
// characters escaped (the short forms where JSON has them), the rest as is.
void AppendString(std::string_view text, std::string* out) {
  out->push_back('"');
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out->append(text.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\b': out->append("\\b"); break;
      case '\f': out->append("\\f"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out->append(escape, 6);
      }
    }
  }
  out->append(text.substr(run));
  out->push_back('"');
}

// The shortest digits that read back as the same double, laid out as the
// general path's encoder does: positional from 1e-5 up to below 1e16 (with
// ".0" on whole numbers), else d.ddde+X / d.ddde-X.
void AppendFinite(double v, std::string* out) {
  char sci[40];
  const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  std::string_view text(sci, static_cast<size_t>(res.ptr - sci));
  if (text.front() == '-') {
    out->push_back('-');
    text.remove_prefix(1);
  }
  const size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  const int exp = std::atoi(std::string(text.substr(e + 1)).c_str());
  const int count = static_cast<int>(digits.size());
  if (exp >= -5 && exp <= 15) {
    if (exp < 0) {
      out->append("0.");
      out->append(static_cast<size_t>(-exp - 1), '0');
      out->append(digits);
    } else if (count <= exp + 1) {
      out->append(digits);
      out->append(static_cast<size_t>(exp + 1 - count), '0');
      out->append(".0");
    } else {
      out->append(digits, 0, static_cast<size_t>(exp + 1));
      out->push_back('.');
      out->append(digits, static_cast<size_t>(exp + 1));
    }
    return;
  }
  out->push_back(digits[0]);
  if (count > 1) {
    out->push_back('.');
    out->append(digits, 1);
  }
  out->push_back('e');
  out->push_back(exp < 0 ? '-' : '+');
  out->append(std::to_string(std::abs(exp)));
}

void AppendDouble(double v, std::string* out) {
  if (std::isnan(v)) {
    out->append(R"({"$float":"nan"})");
  } else if (std::isinf(v)) {
    out->append(v > 0 ? R"({"$float":"inf"})" : R"({"$float":"-inf"})");
  } else {
    AppendFinite(v, out);
  }
}

template <typename T>
void AppendInteger(T v, std::string* out) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out->append(buf, res.ptr);
}

// Map member names that would make a one-member map read as a tagged value.
bool IsTag(std::string_view name) {
  return name == "$bytes" || name == "$map" || name == "$float" || name == "$ext";
}

class Renderer {
 public:
  Renderer(std::string_view data, std::string* out) : data_(data), out_(out) {}

  bool Whole() { return Value(0) && pos_ == data_.size(); }

 private:
  // The next n bytes, or false when the value is cut short.
  bool Take(size_t n, std::string_view* bytes) {
    if (n > data_.size() - pos_) return false;
    *bytes = data_.substr(pos_, n);
    pos_ += n;
    return true;
  }
  template <typename T>
  bool Load(T* v) {
    std::string_view b;
    if (!Take(sizeof(T), &b)) return false;
    *v = LoadBE<T>(b.data());
    return true;
  }
  // A float32 or float64 body: its big-endian bits, read as F.
  template <typename Bits, typename F>
  bool Real() {
    Bits bits;
    if (!Load(&bits)) return false;
    AppendDouble(std::bit_cast<F>(bits), out_);
    return true;
  }
  template <typename T>
  bool Length(uint32_t* n) {
    T v;
    if (!Load(&v)) return false;
    *n = v;
    return true;
  }

  // The text of a str whose header byte was `tag`; false if `tag` is no
  // str header or the text is not UTF-8.
  bool Text(unsigned char tag, std::string_view* text) {
    uint32_t n;
    if (tag >= 0xa0 && tag <= 0xbf) {
      n = tag & 0x1f;
    } else if (tag == 0xd9) {
      if (!Length<uint8_t>(&n)) return false;
    } else if (tag == 0xda) {
      if (!Length<uint16_t>(&n)) return false;
    } else if (tag == 0xdb) {
      if (!Length<uint32_t>(&n)) return false;
    } else {
      return false;
    }
    return Take(n, text) && ValidUtf8(*text);
  }

  bool Array(uint32_t n, int depth) {
    out_->push_back('[');
    for (uint32_t i = 0; i < n; ++i) {
      if (i > 0) out_->push_back(',');
      if (!Value(depth + 1)) return false;
    }
    out_->push_back(']');
    return true;
  }

  bool Map(uint32_t n, int depth) {
    // Every member is written as it comes; a key that is not text, or that
    // repeats (the decoded map would keep one member), ends the attempt.
    std::vector<std::string_view> names;
    names.reserve(std::min<uint32_t>(n, 64));
    const size_t start = out_->size();
    out_->push_back('{');
    for (uint32_t i = 0; i < n; ++i) {
      unsigned char tag;
      std::string_view name;
      if (!Load(&tag) || !Text(tag, &name)) return false;
      names.push_back(name);
      if (i > 0) out_->push_back(',');
      AppendString(name, out_);
      out_->push_back(':');
      if (!Value(depth + 1)) return false;
    }
    out_->push_back('}');
    if (n == 1 && IsTag(names[0])) {
      // {"$bytes": v} as a plain map would read back as bytes: it takes
      // the "$map" form, [[name, v]].
      std::string member = out_->substr(start + 1, out_->size() - start - 2);
      const size_t colon = names[0].size() + 2;  // the quoted name; tags need no escapes
      out_->resize(start);
      out_->append(R"({"$map":[[)");
      out_->append(member, 0, colon);
      out_->push_back(',');
      out_->append(member, colon + 1);
      out_->append("]]}");
    }
    if (names.size() > 1) {
      std::sort(names.begin(), names.end());
      if (std::adjacent_find(names.begin(), names.end()) != names.end()) return false;
    }
    return true;
  }

  bool Value(int depth) {
    if (depth > kMaxJsonDepth) return false;
    unsigned char tag;
    if (!Load(&tag)) return false;
    if (tag <= 0x7f) {
      AppendInteger(tag, out_);
      return true;
    }
    if (tag >= 0xe0) {
      AppendInteger(static_cast<int>(static_cast<int8_t>(tag)), out_);
      return true;
    }
    if (tag <= 0x8f) return Map(tag & 0x0f, depth);
    if (tag <= 0x9f) return Array(tag & 0x0f, depth);
    if (tag <= 0xbf || (tag >= 0xd9 && tag <= 0xdb)) {
      std::string_view text;
      if (!Text(tag, &text)) return false;
      AppendString(text, out_);
      return true;
    }
    uint32_t n = 0;
    switch (tag) {
      case 0xc0: out_->append("null"); return true;
      case 0xc2: out_->append("false"); return true;
      case 0xc3: out_->append("true"); return true;
      case 0xc4:
      case 0xc5:
      case 0xc6: {
        if (!(tag == 0xc4 ? Length<uint8_t>(&n) : tag == 0xc5 ? Length<uint16_t>(&n) : Length<uint32_t>(&n))) {
          return false;
        }
        std::string_view bytes;
        if (!Take(n, &bytes)) return false;
        out_->append(R"({"$bytes":")");
        AppendBase64(bytes, out_);
        out_->append("\"}");
        return true;
      }
      case 0xca: return Real<uint32_t, float>();
      case 0xcb: return Real<uint64_t, double>();
      case 0xcc: return Integer<uint8_t>();
      case 0xcd: return Integer<uint16_t>();
      case 0xce: return Integer<uint32_t>();
      case 0xcf: return Integer<uint64_t>();
      case 0xd0: return Integer<int8_t>();
      case 0xd1: return Integer<int16_t>();
      case 0xd2: return Integer<int32_t>();
      case 0xd3: return Integer<int64_t>();
      case 0xdc: return Length<uint16_t>(&n) && Array(n, depth);
      case 0xdd: return Length<uint32_t>(&n) && Array(n, depth);
      case 0xde: return Length<uint16_t>(&n) && Map(n, depth);
      case 0xdf: return Length<uint32_t>(&n) && Map(n, depth);
      default: return false;  // extension types, and 0xc1 (never used)
    }
  }

  template <typename T>
  bool Integer() {
    using U = std::make_unsigned_t<T>;
    U bits;
    if (!Load(&bits)) return false;
    AppendInteger(static_cast<T>(bits), out_);
    return true;
  }

  std::string_view data_;
  std::string* out_;
  size_t pos_ = 0;
};

}  // namespace

bool AppendJsonOfMsgpack(std::string_view msgpack, std::string* out) { return Renderer(msgpack, out).Whole(); }

void AppendJsonOfKey(std::string_view key, std::string* out) {
  if (ValidUtf8(key)) {
    AppendString(key, out);
  } else {
    out->append(R"({"$bytes":")");
    AppendBase64(key, out);
    out->append("\"}");
  }
}

}  // namespace velk
