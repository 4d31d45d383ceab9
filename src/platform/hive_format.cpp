#include "platform/hive_format.h"

#include <charconv>

namespace vexahv::platform {
namespace {

constexpr std::string_view kHeader = "VEXAHV-REGISTRY-HIVE 1";

struct TypeName {
  RegType type;
  std::string_view name;
};
constexpr TypeName kTypeNames[] = {
    {RegType::String, "sz"},
    {RegType::ExpandString, "expand_sz"},
    {RegType::Binary, "binary"},
    {RegType::Dword, "dword"},
};

std::string_view typeName(RegType t) {
  for (const auto& tn : kTypeNames)
    if (tn.type == t) return tn.name;
  return "binary";
}

constexpr char kHex[] = "0123456789abcdef";

void appendHex(std::string& out, std::string_view bytes) {
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
}

void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isStringType(RegType t) { return t == RegType::String || t == RegType::ExpandString; }

// A cursor over one line with a sticky fault: the first error wins, later reads do nothing.
class LineReader {
 public:
  explicit LineReader(std::string_view line) : rest_(line) {}

  bool good() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  bool atEnd() const { return rest_.empty(); }
  void fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
  }

  void skipBlanks() {
    while (!rest_.empty() && (rest_.front() == ' ' || rest_.front() == '\t')) rest_.remove_prefix(1);
  }
  bool consume(std::string_view token) {
    if (!good() || rest_.substr(0, token.size()) != token) return false;
    rest_.remove_prefix(token.size());
    return true;
  }
  void expect(std::string_view token) {
    if (!consume(token)) fail("expected '" + std::string(token) + "'");
  }

  std::string quoted() {
    std::string out;
    expect("\"");
    while (good()) {
      if (rest_.empty()) {
        fail("unterminated quoted text");
        break;
      }
      char c = rest_.front();
      rest_.remove_prefix(1);
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (rest_.empty()) {
        fail("escape at end of line");
        break;
      }
      char e = rest_.front();
      rest_.remove_prefix(1);
      switch (e) {
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
          int hi = rest_.size() >= 2 ? hexDigit(rest_[0]) : -1;
          int lo = rest_.size() >= 2 ? hexDigit(rest_[1]) : -1;
          if (hi < 0 || lo < 0) {
            fail("bad \\x escape");
            break;
          }
          out += static_cast<char>(hi * 16 + lo);
          rest_.remove_prefix(2);
          break;
        }
        default: fail(std::string("unknown escape \\") + e);
      }
    }
    return {};
  }

  std::string hexBytes() {
    std::string out;
    if (rest_.size() % 2 != 0) {
      fail("odd number of hex digits");
      return out;
    }
    if (rest_.size() / 2 > kMaxValueData) {
      fail("value data too large");
      return out;
    }
    out.reserve(rest_.size() / 2);
    for (std::size_t i = 0; i < rest_.size(); i += 2) {
      int hi = hexDigit(rest_[i]), lo = hexDigit(rest_[i + 1]);
      if (hi < 0 || lo < 0) {
        fail("bad hex digit");
        return {};
      }
      out += static_cast<char>(hi * 16 + lo);
    }
    rest_ = {};
    return out;
  }

  std::string_view word() {
    std::size_t n = 0;
    while (n < rest_.size() && rest_[n] != ':') ++n;
    std::string_view w = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return w;
  }

  std::string_view remaining() const { return rest_; }
  void clear() { rest_ = {}; }

 private:
  std::string_view rest_;
  std::string error_;
};

bool parseValue(LineReader& r, RegValue& v) {
  v.name = r.quoted();
  if (r.good() && v.name.size() > kMaxValueName) r.fail("value name too long");
  r.skipBlanks();
  r.expect("=");
  r.skipBlanks();
  std::string_view tname = r.word();
  r.expect(":");
  if (!r.good()) return false;
  bool known = false;
  for (const auto& tn : kTypeNames)
    if (tn.name == tname) {
      v.type = tn.type;
      known = true;
    }
  if (!known) {
    r.fail("unknown value type '" + std::string(tname) + "'");
    return false;
  }
  if (r.consume("hex:")) {
    v.data = r.hexBytes();
  } else if (isStringType(v.type)) {
    v.data = r.quoted();
    if (v.data.size() + 1 > kMaxValueData) r.fail("value data too large");
    v.data += '\0';
  } else if (v.type == RegType::Dword) {
    std::string_view digits = r.remaining();
    std::uint32_t n = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec != std::errc() || ptr != digits.data() + digits.size() || digits.empty()) {
      r.fail("bad dword number");
    } else {
      v.data.resize(4);
      for (int i = 0; i < 4; ++i) v.data[i] = static_cast<char>((n >> (8 * i)) & 0xff);
      r.clear();
    }
  } else {
    v.data = r.hexBytes();
  }
  if (r.good() && !r.atEnd()) r.fail("unexpected text after the value");
  return r.good();
}

}  // namespace

std::string foldName(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::optional<std::string> normalizeKeyPath(std::string_view path) {
  std::string out;
  while (!path.empty()) {
    std::size_t sep = path.find('\\');
    std::string_view comp = path.substr(0, sep);
    path = sep == std::string_view::npos ? std::string_view{} : path.substr(sep + 1);
    if (comp.empty()) continue;
    if (comp.size() > kMaxKeyComponent) return std::nullopt;
    for (unsigned char c : comp)
      if (c < 0x20 || c == 0x7f) return std::nullopt;
    if (!out.empty()) out += '\\';
    out += comp;
  }
  return out;
}

bool parseHive(std::string_view text, HiveData& out, std::string& error) {
  out.keys.clear();
  RegKeyData* current = nullptr;
  bool sawHeader = false;
  std::size_t lineNo = 0;
  auto failAt = [&](const std::string& what) {
    error = "line " + std::to_string(lineNo) + ": " + what;
    return false;
  };
  while (!text.empty()) {
    ++lineNo;
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (!sawHeader) {
      if (line != kHeader) return failAt("not a registry hive (missing header)");
      sawHeader = true;
      continue;
    }
    if (line.front() == '[') {
      std::size_t close = line.rfind(']');
      if (close == 0 || close != line.size() - 1) return failAt("key line without closing ']'");
      auto path = normalizeKeyPath(line.substr(1, close - 1));
      if (!path) return failAt("invalid key path");
      std::string folded = foldName(*path);
      if (out.keys.count(folded)) return failAt("key [" + *path + "] appears twice");
      current = &out.keys[folded];
      current->path = *path;
      continue;
    }
    if (line.front() != '"') return failAt("expected a key line or a value line");
    if (!current) return failAt("value outside any key");
    LineReader r(line);
    RegValue v;
    if (!parseValue(r, v)) return failAt(r.error());
    std::string folded = foldName(v.name);
    if (current->values.count(folded)) return failAt("value \"" + v.name + "\" appears twice");
    current->values.emplace(std::move(folded), std::move(v));
  }
  if (!sawHeader) {
    error = "empty file (missing header)";
    return false;
  }
  return true;
}

std::string formatHive(const HiveData& hive) {
  std::string out(kHeader);
  out += '\n';
  for (const auto& [folded, key] : hive.keys) {
    out += '[';
    out += key.path;
    out += "]\n";
    for (const auto& [vfolded, v] : key.values) {
      appendQuoted(out, v.name);
      out += " = ";
      out += typeName(v.type);
      out += ':';
      const bool canonicalString =
          isStringType(v.type) && !v.data.empty() && v.data.back() == '\0';
      if (canonicalString) {
        appendQuoted(out, std::string_view(v.data).substr(0, v.data.size() - 1));
      } else if (v.type == RegType::Dword && v.data.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
        out += std::to_string(n);
      } else if (v.type == RegType::Binary) {
        appendHex(out, v.data);
      } else {
        out += "hex:";
        appendHex(out, v.data);
      }
      out += '\n';
    }
  }
  return out;
}

}  // namespace vexahv::platform
