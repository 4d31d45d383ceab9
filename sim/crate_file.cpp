#include "sim/crate_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "platform/socket.h"

namespace vexahv::sim {
namespace {

constexpr std::size_t kMaxNameLength = 63;
constexpr std::size_t kMaxParamNameLength = 9;
constexpr std::size_t kMaxChannelNameLength = 11;
constexpr std::size_t kMaxTextLength = 255;
constexpr std::size_t kMaxChannels = 512;
constexpr std::size_t kMaxSlots = 64;
constexpr std::size_t kMaxLineLength = 4096;

struct Line {
  std::string directive;
  std::map<std::string, std::string> values;
};

// Splits "directive key=value key="quoted value" # comment". Quoted values know \" and \\.
bool tokenize(std::string_view text, Line& line, std::string& error) {
  std::size_t i = 0;
  auto skipBlanks = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
  };
  auto word = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r' &&
           text[i] != '=' && text[i] != '#' && text[i] != '"') {
      ++i;
    }
    return std::string(text.substr(from, i - from));
  };
  skipBlanks();
  if (i == text.size() || text[i] == '#') return true;
  line.directive = word();
  if (line.directive.empty()) {
    error = "expected a directive";
    return false;
  }
  for (;;) {
    skipBlanks();
    if (i == text.size() || text[i] == '#') return true;
    std::string key = word();
    if (key.empty() || i == text.size() || text[i] != '=') {
      error = "expected key=value after '" + line.directive + "'";
      return false;
    }
    ++i;
    std::string value;
    if (i < text.size() && text[i] == '"') {
      ++i;
      bool closed = false;
      while (i < text.size()) {
        char c = text[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < text.size()) c = text[i++];
        value += c;
      }
      if (!closed) {
        error = "unterminated quoted value of '" + key + "'";
        return false;
      }
      if (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '#' && text[i] != '\r') {
        error = "blank expected after the quoted value of '" + key + "'";
        return false;
      }
    } else {
      value = word();
      if (i < text.size() && (text[i] == '=' || text[i] == '"')) {
        error = "malformed value of '" + key + "'";
        return false;
      }
    }
    if (value.find('\0') != std::string::npos) {
      error = "NUL in the value of '" + key + "'";
      return false;
    }
    if (!line.values.emplace(key, std::move(value)).second) {
      error = "'" + key + "' given twice";
      return false;
    }
  }
}

class Fields {
 public:
  Fields(Line& line, std::string& error) : line_(line), error_(error) {}

  std::optional<std::string> text(const std::string& key, std::size_t maxLength, bool required) {
    auto it = line_.values.find(key);
    if (it == line_.values.end()) {
      if (required) fail("'" + line_.directive + "' needs " + key + "=");
      return std::nullopt;
    }
    std::string v = std::move(it->second);
    line_.values.erase(it);
    if (v.size() > maxLength) {
      fail(key + " is longer than " + std::to_string(maxLength) + " characters");
      return std::nullopt;
    }
    return v;
  }

  template <class T>
  std::optional<T> integer(const std::string& key, long long min, long long max, bool required) {
    auto v = text(key, 32, required);
    if (!v) return std::nullopt;
    long long n = 0;
    auto [p, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
    if (ec != std::errc() || p != v->data() + v->size() || n < min || n > max) {
      fail(key + "=" + *v + " is not a whole number from " + std::to_string(min) + " to " +
           std::to_string(max));
      return std::nullopt;
    }
    return static_cast<T>(n);
  }

  std::optional<double> number(const std::string& key, bool required) {
    auto v = text(key, 64, required);
    if (!v) return std::nullopt;
    double d = 0;
    auto [p, ec] = std::from_chars(v->data(), v->data() + v->size(), d);
    if (ec != std::errc() || p != v->data() + v->size() || !std::isfinite(d) ||
        std::fabs(d) > 3.0e38) {
      fail(key + "=" + *v + " is not a number");
      return std::nullopt;
    }
    return d;
  }

  // One of the words, as its index.
  std::optional<std::uint32_t> choice(const std::string& key,
                                      std::initializer_list<const char*> words, bool required) {
    auto v = text(key, 32, required);
    if (!v) return std::nullopt;
    std::uint32_t index = 0;
    std::string all;
    for (const char* w : words) {
      if (*v == w) return index;
      ++index;
      all += all.empty() ? "" : ", ";
      all += w;
    }
    fail(key + "=" + *v + " is not one of " + all);
    return std::nullopt;
  }

  // Anything left is a key the directive does not know.
  bool finish() {
    if (!error_.empty()) return false;
    if (!line_.values.empty()) {
      fail("'" + line_.directive + "' has no key '" + line_.values.begin()->first + "'");
      return false;
    }
    return true;
  }

  bool failed() const { return !error_.empty(); }

 private:
  void fail(const std::string& what) {
    if (error_.empty()) error_ = what;
  }
  Line& line_;
  std::string& error_;
};

bool validSystemType(std::uint32_t t) {
  return t == 0 || t == 2 || t == 4 || t == 5 || t == 7 || t == 10;
}

// Whether a number fits the value type: what a mainframe could hold.
bool fitsRange(double d, double min, double max) { return d >= min && d <= max; }

// The initial value of a numeric parameter or property, when the line gives one.
bool initialNumber(const std::optional<std::string>& value, const char* what, const std::string& name,
                   double& out, std::string& error) {
  if (!value) return true;
  double d = 0;
  auto [q, ec] = std::from_chars(value->data(), value->data() + value->size(), d);
  if (ec != std::errc() || q != value->data() + value->size() || !std::isfinite(d)) {
    error = "value=" + *value + " of " + what + " " + name + " is not a number";
    return false;
  }
  out = d;
  return true;
}

bool parseParam(Fields& f, ParamSpec& p, std::string& error) {
  auto name = f.text("name", kMaxParamNameLength, true);
  auto type = f.choice("type", {"numeric", "onoff", "chstatus", "bdstatus", "binary", "string"}, true);
  auto mode = f.choice("mode", {"ro", "wo", "rw"}, true);
  auto min = f.number("min", false);
  auto max = f.number("max", false);
  auto unit = f.integer<std::uint16_t>("unit", 0, 65535, false);
  auto exp = f.integer<std::int16_t>("exp", -32768, 32767, false);
  auto resol = f.integer<std::uint16_t>("resol", 0, 65535, false);
  auto on = f.text("on", 1023, false);
  auto off = f.text("off", 1023, false);
  auto value = f.text("value", 1023, false);
  if (!f.finish()) return false;
  if (name->empty() || name->find_first_of(".: ") != std::string::npos) {
    error = "parameter name '" + *name + "' must be non-empty without '.', ':' or blanks";
    return false;
  }
  p.name = *name;
  p.type = *type;
  p.mode = *mode;
  p.min = static_cast<float>(min.value_or(0.0));
  p.max = static_cast<float>(max.value_or(0.0));
  if (p.min > p.max) {
    error = "min is above max for parameter " + p.name;
    return false;
  }
  p.unit = unit.value_or(0);
  p.exp = exp.value_or(0);
  p.resol = resol.value_or(0);
  if (on) p.onLabel = *on;
  if (off) p.offLabel = *off;
  if (p.type == 5) {
    p.text = value.value_or("");
    return true;
  }
  if (!initialNumber(value, "parameter", p.name, p.number, error)) return false;
  const bool fits = p.type == 0   ? fitsRange(p.number, -3.4e38, 3.4e38)
                    : p.type == 1 ? fitsRange(p.number, 0, 1)
                                  : fitsRange(p.number, -2147483648.0, 2147483647.0);
  if (!fits) {
    error = "value of parameter " + p.name + " does not fit its type";
    return false;
  }
  return true;
}

bool parseProperty(Fields& f, PropertySpec& p, std::string& error) {
  auto name = f.text("name", kMaxNameLength, true);
  auto type = f.choice("type", {"text", "float", "ui2", "ui4", "i2", "i4", "bool"}, true);
  auto mode = f.choice("mode", {"ro", "wo", "rw"}, true);
  auto value = f.text("value", kMaxTextLength, false);
  if (!f.finish()) return false;
  if (name->empty() || name->find_first_of(".: ") != std::string::npos) {
    error = "property name '" + *name + "' must be non-empty without '.', ':' or blanks";
    return false;
  }
  p.name = *name;
  p.type = *type;
  p.mode = *mode;
  if (p.type == 0) {
    p.text = value.value_or("");
    return true;
  }
  if (!initialNumber(value, "property", p.name, p.number, error)) return false;
  static constexpr double kRanges[][2] = {{0, 0},          {-3.4e38, 3.4e38}, {0, 65535}, {0, 4294967295.0},
                                          {-32768, 32767}, {-2147483648.0, 2147483647.0}, {0, 1}};
  if (!fitsRange(p.number, kRanges[p.type][0], kRanges[p.type][1])) {
    error = "value of property " + p.name + " does not fit its type";
    return false;
  }
  return true;
}

bool parseFirmware(const std::string& text, BoardSpec& b) {
  const auto dot = text.find('.');
  if (dot == std::string::npos) return false;
  unsigned major = 0, minor = 0;
  auto [p1, e1] = std::from_chars(text.data(), text.data() + dot, major);
  auto [p2, e2] = std::from_chars(text.data() + dot + 1, text.data() + text.size(), minor);
  if (e1 != std::errc() || e2 != std::errc() || p1 != text.data() + dot ||
      p2 != text.data() + text.size() || major > 99 || minor > 99) {
    return false;
  }
  b.firmwareMajor = static_cast<std::uint8_t>(major);
  b.firmwareMinor = static_cast<std::uint8_t>(minor);
  return true;
}

template <class T>
bool uniqueNames(const std::vector<T>& items, std::string& duplicate) {
  std::set<std::string> seen;
  for (const auto& item : items) {
    if (!seen.insert(item.name).second) {
      duplicate = item.name;
      return false;
    }
  }
  return true;
}

bool parseLine(Line& line, CrateSpec& crate, bool& haveMainframe, std::string& error) {
  Fields f(line, error);
  const std::string& d = line.directive;
  if (!haveMainframe && d != "mainframe") {
    error = "the file must begin with 'mainframe'";
    return false;
  }
  if (d == "mainframe") {
    if (haveMainframe) {
      error = "one 'mainframe' per file";
      return false;
    }
    auto name = f.text("name", 39, true);
    auto address = f.text("address", 15, true);
    auto type = f.integer<std::uint32_t>("type", 0, 10, true);
    auto user = f.text("user", 63, false);
    auto password = f.text("password", 63, false);
    auto slots = f.integer<std::uint16_t>("slots", 1, kMaxSlots, true);
    if (!f.finish()) return false;
    if (!platform::Ipv4Endpoint::parseAddress(*address, crate.address) ||
        (crate.address >> 24) != 127) {
      error = "address=" + *address + " is not a loopback address (127.x.y.z)";
      return false;
    }
    if (!validSystemType(*type)) {
      error = "type=" + std::to_string(*type) + " is not a system type (0, 2, 4, 5, 7, 10)";
      return false;
    }
    crate.name = *name;
    crate.systemType = *type;
    crate.user = user.value_or("");
    crate.password = password.value_or("");
    crate.slots = *slots;
    haveMainframe = true;
    return true;
  }
  if (d == "property") {
    PropertySpec p;
    if (!parseProperty(f, p, error)) return false;
    crate.properties.push_back(std::move(p));
    return true;
  }
  if (d == "command") {
    auto name = f.text("name", kMaxNameLength, true);
    if (!f.finish()) return false;
    crate.commands.push_back(*name);
    return true;
  }
  if (d == "board") {
    BoardSpec b;
    auto slot = f.integer<std::uint16_t>("slot", 0, kMaxSlots - 1, true);
    auto like = f.integer<std::uint16_t>("like", 0, kMaxSlots - 1, false);
    auto model = f.text("model", kMaxNameLength, !like);
    auto description = f.text("description", kMaxNameLength, false);
    auto serial = f.integer<std::uint16_t>("serial", 0, 65535, false);
    auto firmware = f.text("firmware", 8, false);
    auto channels = f.integer<std::uint16_t>("channels", 1, kMaxChannels, !like);
    auto load = f.number("load", false);
    if (!f.finish()) return false;
    if (like) {
      const BoardSpec* model_ = crate.board(*like);
      if (model_ == nullptr) {
        error = "like=" + std::to_string(*like) + " names no board declared before";
        return false;
      }
      b = *model_;
      b.channelNames.clear();
    }
    b.slot = *slot;
    if (model) b.model = *model;
    if (description) b.description = *description;
    if (serial) b.serial = *serial;
    if (channels) b.channels = *channels;
    if (load) b.loadMegaOhm = *load;
    if (firmware && !parseFirmware(*firmware, b)) {
      error = "firmware=" + *firmware + " is not major.minor (0-99 each)";
      return false;
    }
    if (b.model.empty()) {
      error = "a board needs a non-empty model";
      return false;
    }
    if (b.slot >= crate.slots) {
      error = "slot " + std::to_string(b.slot) + " is beyond the crate's " +
              std::to_string(crate.slots) + " slots";
      return false;
    }
    if (crate.board(b.slot) != nullptr) {
      error = "slot " + std::to_string(b.slot) + " is declared twice";
      return false;
    }
    if (!(b.loadMegaOhm > 0.0)) {
      error = "load must be above 0";
      return false;
    }
    crate.boards.push_back(std::move(b));
    return true;
  }
  if (d == "boardparam" || d == "channelparam" || d == "channelname") {
    if (crate.boards.empty()) {
      error = "'" + d + "' before any 'board'";
      return false;
    }
    BoardSpec& b = crate.boards.back();
    if (d == "channelname") {
      auto channel = f.integer<std::uint16_t>("channel", 0, kMaxChannels - 1, true);
      auto name = f.text("name", kMaxChannelNameLength, true);
      if (!f.finish()) return false;
      if (*channel >= b.channels) {
        error = "channel " + std::to_string(*channel) + " is beyond the board's channels";
        return false;
      }
      b.channelNames[*channel] = *name;
      return true;
    }
    ParamSpec p;
    if (!parseParam(f, p, error)) return false;
    auto& list = d == "boardparam" ? b.boardParams : b.channelParams;
    // A board declared like another may redefine a parameter it inherited, in its place.
    auto same = std::find_if(list.begin(), list.end(), [&](const ParamSpec& q) { return q.name == p.name; });
    if (same != list.end()) {
      *same = std::move(p);
    } else {
      list.push_back(std::move(p));
    }
    return true;
  }
  error = "unknown directive '" + d + "'";
  return false;
}

}  // namespace

const BoardSpec* CrateSpec::board(std::uint16_t slot) const {
  for (const auto& b : boards) {
    if (b.slot == slot) return &b;
  }
  return nullptr;
}

bool parseCrateText(std::string_view text, CrateSpec& out, std::string& error) {
  CrateSpec crate;
  bool haveMainframe = false;
  std::size_t lineNumber = 0;
  error.clear();
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    std::string what;
    if (raw.size() > kMaxLineLength) {
      what = "line longer than " + std::to_string(kMaxLineLength) + " characters";
    } else {
      Line line;
      if (tokenize(raw, line, what) && !line.directive.empty()) {
        parseLine(line, crate, haveMainframe, what);
      }
    }
    if (!what.empty()) {
      error = "line " + std::to_string(lineNumber) + ": " + what;
      return false;
    }
  }
  if (!haveMainframe) {
    error = "no 'mainframe' line";
    return false;
  }
  std::string duplicate;
  if (!uniqueNames(crate.properties, duplicate)) {
    error = "property " + duplicate + " is declared twice";
    return false;
  }
  for (const auto& b : crate.boards) {
    if (!uniqueNames(b.boardParams, duplicate) || !uniqueNames(b.channelParams, duplicate)) {
      error = "parameter " + duplicate + " is declared twice on slot " + std::to_string(b.slot);
      return false;
    }
  }
  std::sort(crate.boards.begin(), crate.boards.end(),
            [](const BoardSpec& a, const BoardSpec& b) { return a.slot < b.slot; });
  out = std::move(crate);
  return true;
}

bool readCrateFile(const std::string& path, CrateSpec& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be read";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!parseCrateText(text.str(), out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace vexahv::sim
