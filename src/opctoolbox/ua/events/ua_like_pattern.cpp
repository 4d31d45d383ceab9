#include "opctoolbox/ua/events/ua_like_pattern.h"

#include <string>
#include <utility>
#include <vector>

namespace OpcToolbox::ua {
namespace {

// UTF-8 to code points, so that _ and [..] take one character; a stray byte is one too.
std::u32string codePoints(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (len == 1 || i + len > s.size()) {
      out.push_back(c);
      ++i;
      continue;
    }
    char32_t cp = c & (0x7F >> len);
    bool valid = true;
    for (std::size_t k = 1; k < len; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      valid = valid && (t >> 6) == 2;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (!valid) {
      out.push_back(c);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += len;
  }
  return out;
}

// A pattern's pieces: one character each, or a run (%).
struct Piece {
  enum class Kind : std::uint8_t { Run, Any, Char, Set } kind = Kind::Char;
  char32_t c = 0;
  bool negated = false;
  std::vector<std::pair<char32_t, char32_t>> ranges;
  bool takes(char32_t x) const {
    switch (kind) {
      case Kind::Any: return true;
      case Kind::Char: return x == c;
      case Kind::Set: {
        bool in = false;
        for (auto [lo, hi] : ranges) in = in || (x >= lo && x <= hi);
        return in != negated;
      }
      case Kind::Run: return false;
    }
    return false;
  }
};

std::vector<Piece> compilePattern(const std::u32string& p) {
  std::vector<Piece> out;
  for (std::size_t i = 0; i < p.size(); ++i) {
    Piece piece;
    if (p[i] == U'%') {
      piece.kind = Piece::Kind::Run;
    } else if (p[i] == U'_') {
      piece.kind = Piece::Kind::Any;
    } else if (p[i] == U'\\' && i + 1 < p.size()) {
      piece.c = p[++i];
    } else if (p[i] == U'[' && p.find(U']', i + 1) != std::u32string::npos) {
      piece.kind = Piece::Kind::Set;
      std::size_t k = i + 1;
      if (k < p.size() && p[k] == U'^') {
        piece.negated = true;
        ++k;
      }
      const std::size_t close = p.find(U']', k == i + 1 ? k + 1 : k);  // "[]]" lists "]"
      if (close == std::u32string::npos) {
        piece = Piece{};
        piece.c = p[i];
        out.push_back(std::move(piece));
        continue;
      }
      for (; k < close; ++k) {
        if (k + 2 < close && p[k + 1] == U'-') {
          piece.ranges.emplace_back(p[k], p[k + 2]);
          k += 2;
        } else {
          piece.ranges.emplace_back(p[k], p[k]);
        }
      }
      i = close;
    } else {
      piece.c = p[i];
    }
    out.push_back(std::move(piece));
  }
  return out;
}

}  // namespace

bool likeMatches(std::string_view text, std::string_view pattern) {
  const std::u32string t = codePoints(text);
  const std::vector<Piece> p = compilePattern(codePoints(pattern));
  // Every piece takes one character or a run: the last run is the one place to retry from.
  std::size_t ti = 0, pi = 0, runAt = std::string::npos, runText = 0;
  while (ti < t.size()) {
    if (pi < p.size() && p[pi].kind == Piece::Kind::Run) {
      runAt = pi++;
      runText = ti;
    } else if (pi < p.size() && p[pi].takes(t[ti])) {
      ++pi;
      ++ti;
    } else if (runAt != std::string::npos) {
      pi = runAt + 1;
      ti = ++runText;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi].kind == Piece::Kind::Run) ++pi;
  return pi == p.size();
}

}  // namespace OpcToolbox::ua
