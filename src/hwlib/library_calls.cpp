#include "hwlib/library_calls.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vexahv::hwlib::calls {
namespace {

constexpr std::size_t kSysPropTextLength = VEXAHV_SYSPROP_TEXT_SIZE - 1;

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using LibraryList = std::unique_ptr<T, FreeDeleter>;

// Zero-filled, never a null pointer for a zero-length list.
template <class T>
LibraryList<T> allocateList(std::size_t count) {
  return LibraryList<T>(static_cast<T*>(std::calloc(count == 0 ? 1 : count, sizeof(T))));
}

bool takeName(const char* text, std::size_t maxLength, std::string& out) {
  if (text == nullptr) return false;
  const std::size_t n = ::strnlen(text, maxLength + 1);
  if (n == 0 || n > maxLength) return false;
  out.assign(text, n);
  return true;
}

bool validList(std::uint16_t count, const void* list) {
  return count != 0 && count <= VEXAHV_MAX_LIST && list != nullptr;
}

// One round trip; the mainframe's own result wins over an empty answer.
int call(Exchange& x, Op op, const ByteWriter& request, std::vector<std::uint8_t>& response) {
  int result = VEXAHV_OK;
  if (int rc = x.exchange(op, request.bytes(), result, response); rc != VEXAHV_OK) return rc;
  return result;
}

int call(Exchange& x, Op op, const ByteWriter& request) {
  std::vector<std::uint8_t> response;
  return call(x, op, request, response);
}

void copyText(const std::string& text, char* field, std::size_t fieldSize) {
  const std::size_t n = text.size() < fieldSize ? text.size() : fieldSize - 1;
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, fieldSize - n);
}

// n parameter values after their type, into the caller's value area.
int readParamValues(ByteReader& r, std::uint16_t n, void* values) {
  const std::uint32_t type = r.u32();
  auto* out = static_cast<std::uint8_t*>(values);
  for (std::size_t i = 0; i < n && r.ok(); ++i) {
    if (type == kStringParamType) {
      const std::string text = r.text(kMaxTextValueLength);
      if (r.ok()) copyText(text, reinterpret_cast<char*>(out) + i * VEXAHV_TEXT_VALUE_SIZE, VEXAHV_TEXT_VALUE_SIZE);
    } else {
      const std::uint32_t v = r.u32();
      std::memcpy(out + 4 * i, &v, 4);
    }
  }
  return r.atEnd() ? VEXAHV_OK : VEXAHV_ERR_PROTOCOL;
}

// The value the caller points at, laid out by the parameter's type.
// The parameter's type: learnt on this connection, else asked (ask() fills type).
template <class Ask>
int typeOf(Exchange& x, const std::string& key, std::uint32_t& type, Ask ask) {
  ParamTypeCache* cache = x.paramTypes();
  if (cache != nullptr && cache->find(key, type)) return VEXAHV_OK;
  const int rc = ask();
  if (rc == VEXAHV_OK && cache != nullptr) cache->learn(key, type);
  return rc;
}

// A caller that asked a parameter's type told the cache too: the build asks every one, so
// no first write asks again.
int learnIfType(Exchange& x, const std::string& key, std::string_view property, int rc, const void* value) {
  if (rc == VEXAHV_OK && property == "Type" && x.paramTypes() != nullptr) {
    std::uint32_t type = 0;
    std::memcpy(&type, value, sizeof type);
    x.paramTypes()->learn(key, type);
  }
  return rc;
}

// A type the mainframe refused is forgotten, so that the next set asks again.
int forgetIfRefused(Exchange& x, const std::string& key, int rc) {
  if (rc == VEXAHV_ERR_WRONG_TYPE && x.paramTypes() != nullptr) x.paramTypes()->forget(key);
  return rc;
}

int writeParamValue(ByteWriter& w, std::uint32_t type, const void* value) {
  w.u32(type);
  if (type == kStringParamType) {
    const char* text = static_cast<const char*>(value);
    const std::size_t n = ::strnlen(text, kMaxTextValueLength + 1);
    if (n > kMaxTextValueLength) return VEXAHV_ERR_OUT_OF_RANGE;
    w.text(std::string_view(text, n));
  } else {
    std::uint32_t v = 0;
    std::memcpy(&v, value, 4);
    w.u32(v);
  }
  return VEXAHV_OK;
}

int readNameList(const std::vector<std::uint8_t>& response, char** names, int* count) {
  ByteReader r(response);
  const std::size_t n = r.u16();
  if (!r.ok() || n > VEXAHV_MAX_LIST) return VEXAHV_ERR_PROTOCOL;
  auto list = allocateList<char>((n + 1) * VEXAHV_PARAM_NAME_SIZE);
  if (!list) return VEXAHV_ERR_NO_MEMORY;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string name = r.text(kMaxParamNameLength);
    // An empty name would end the list early for every reader.
    if (!r.ok() || name.empty()) return VEXAHV_ERR_PROTOCOL;
    std::memcpy(list.get() + i * VEXAHV_PARAM_NAME_SIZE, name.data(), name.size());
  }
  if (!r.atEnd()) return VEXAHV_ERR_PROTOCOL;
  *names = list.release();
  if (count != nullptr) *count = static_cast<int>(n);
  return VEXAHV_OK;
}

int readPropertyValue(const std::vector<std::uint8_t>& response, ValueKind expected, void* value) {
  ByteReader r(response);
  if (r.u8() != static_cast<std::uint8_t>(expected)) return VEXAHV_ERR_PROTOCOL;
  if (expected == ValueKind::Text) {
    const std::string text = r.text(VEXAHV_PROP_TEXT_SIZE - 1);
    if (!r.atEnd()) return VEXAHV_ERR_PROTOCOL;
    copyText(text, static_cast<char*>(value), VEXAHV_PROP_TEXT_SIZE);
    return VEXAHV_OK;
  }
  const std::uint32_t v = r.u32();
  if (!r.atEnd()) return VEXAHV_ERR_PROTOCOL;
  if (expected == ValueKind::U16 || expected == ValueKind::I16) {
    const auto low = static_cast<std::uint16_t>(v);
    std::memcpy(value, &low, 2);
  } else {
    std::memcpy(value, &v, 4);
  }
  return VEXAHV_OK;
}

void writeChannels(ByteWriter& w, std::uint16_t n, const std::uint16_t* list) {
  w.u16(n);
  for (std::size_t i = 0; i < n; ++i) w.u16(list[i]);
}

int readResultCodes(const std::vector<std::uint8_t>& response, std::uint16_t count, char* results) {
  ByteReader r(response);
  if (r.u16() != count) return VEXAHV_ERR_PROTOCOL;
  std::vector<char> codes(count);
  if (!r.raw(codes.data(), count) || !r.atEnd()) return VEXAHV_ERR_PROTOCOL;
  std::memcpy(results, codes.data(), count);
  return VEXAHV_OK;
}

// ':'-separated names, exactly count of them.
bool splitNames(const char* list, std::uint16_t count, ByteWriter& w) {
  if (list == nullptr || count == 0 || count > VEXAHV_MAX_LIST) return false;
  std::vector<std::string_view> names;
  std::string_view rest(list, ::strnlen(list, (kMaxNameLength + 1) * (count + 1u)));
  for (;;) {
    const std::size_t colon = rest.find(':');
    names.push_back(rest.substr(0, colon));
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  if (names.size() != count) return false;
  w.u16(count);
  for (auto name : names) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    w.text(name);
  }
  return true;
}

int subscribeWith(Exchange& x, Op op, ByteWriter& w, const char* list, std::uint16_t count,
                  char* results) {
  if (results == nullptr || !splitNames(list, count, w)) return VEXAHV_ERR_INVALID_ARGUMENT;
  std::vector<std::uint8_t> response;
  if (int rc = call(x, op, w, response); rc != VEXAHV_OK) return rc;
  return readResultCodes(response, count, results);
}

}  // namespace

int getCrateMap(Exchange& x, std::uint16_t* nrOfSlots, std::uint16_t** chansPerSlot,
                char** models, char** descriptions, std::uint16_t** serials,
                std::uint8_t** fmwMinor, std::uint8_t** fmwMajor) {
  if (!nrOfSlots || !chansPerSlot || !models || !descriptions || !serials || !fmwMinor || !fmwMajor) {
    return VEXAHV_ERR_INVALID_ARGUMENT;
  }
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetCrateMap, ByteWriter{}, response); rc != VEXAHV_OK) return rc;
  ByteReader r(response);
  const std::size_t n = r.u16();
  if (!r.ok() || n > VEXAHV_MAX_LIST) return VEXAHV_ERR_PROTOCOL;
  auto channels = allocateList<std::uint16_t>(n);
  auto serialList = allocateList<std::uint16_t>(n);
  auto minor = allocateList<std::uint8_t>(n);
  auto major = allocateList<std::uint8_t>(n);
  std::string modelText, descriptionText;
  if (!channels || !serialList || !minor || !major) return VEXAHV_ERR_NO_MEMORY;
  for (std::size_t i = 0; i < n && r.ok(); ++i) {
    channels.get()[i] = r.u16();
    modelText += r.text(kMaxNameLength);
    modelText += '\0';
    descriptionText += r.text(kMaxNameLength);
    descriptionText += '\0';
    serialList.get()[i] = r.u16();
    minor.get()[i] = r.u8();
    major.get()[i] = r.u8();
  }
  if (!r.atEnd()) return VEXAHV_ERR_PROTOCOL;
  auto modelList = allocateList<char>(modelText.size());
  auto descriptionList = allocateList<char>(descriptionText.size());
  if (!modelList || !descriptionList) return VEXAHV_ERR_NO_MEMORY;
  std::memcpy(modelList.get(), modelText.data(), modelText.size());
  std::memcpy(descriptionList.get(), descriptionText.data(), descriptionText.size());
  *nrOfSlots = static_cast<std::uint16_t>(n);
  *chansPerSlot = channels.release();
  *models = modelList.release();
  *descriptions = descriptionList.release();
  *serials = serialList.release();
  *fmwMinor = minor.release();
  *fmwMajor = major.release();
  return VEXAHV_OK;
}

int getSysPropList(Exchange& x, std::uint16_t* count, char** names) {
  if (!count || !names) return VEXAHV_ERR_INVALID_ARGUMENT;
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetSysPropList, ByteWriter{}, response); rc != VEXAHV_OK) return rc;
  ByteReader r(response);
  const std::size_t n = r.u16();
  std::string text;
  for (std::size_t i = 0; i < n && r.ok(); ++i) {
    const std::string name = r.text(kMaxNameLength);
    if (name.empty()) r.fail();
    text += name;
    text += '\0';
  }
  if (!r.atEnd() || n > VEXAHV_MAX_LIST) return VEXAHV_ERR_PROTOCOL;
  auto list = allocateList<char>(text.size());
  if (!list) return VEXAHV_ERR_NO_MEMORY;
  std::memcpy(list.get(), text.data(), text.size());
  *count = static_cast<std::uint16_t>(n);
  *names = list.release();
  return VEXAHV_OK;
}

int getSysPropInfo(Exchange& x, const char* prop, unsigned* mode, unsigned* type) {
  std::string name;
  if (!mode || !type || !takeName(prop, kMaxNameLength, name)) return VEXAHV_ERR_INVALID_ARGUMENT;
  ByteWriter w;
  w.text(name);
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetSysPropInfo, w, response); rc != VEXAHV_OK) return rc;
  ByteReader r(response);
  const std::uint32_t m = r.u32();
  const std::uint32_t t = r.u32();
  if (!r.atEnd()) return VEXAHV_ERR_PROTOCOL;
  *mode = m;
  *type = t;
  return VEXAHV_OK;
}

int getSysProp(Exchange& x, const char* prop, void* value) {
  std::string name;
  if (!value || !takeName(prop, kMaxNameLength, name)) return VEXAHV_ERR_INVALID_ARGUMENT;
  ByteWriter w;
  w.text(name);
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetSysProp, w, response); rc != VEXAHV_OK) return rc;
  ByteReader r(response);
  const std::uint32_t type = r.u32();
  if (type == kStringSysPropType) {
    const std::string text = r.text(kSysPropTextLength);
    if (!r.atEnd()) return VEXAHV_ERR_PROTOCOL;
    copyText(text, static_cast<char*>(value), VEXAHV_SYSPROP_TEXT_SIZE);
    return VEXAHV_OK;
  }
  const std::uint32_t v = r.u32();
  if (!r.atEnd() || type > VEXAHV_SYSPROP_BOOL) return VEXAHV_ERR_PROTOCOL;
  if (type == VEXAHV_SYSPROP_UINT2 || type == VEXAHV_SYSPROP_INT2 || type == VEXAHV_SYSPROP_BOOL) {
    const auto low = static_cast<std::uint16_t>(v);
    std::memcpy(value, &low, 2);
  } else {
    std::memcpy(value, &v, 4);
  }
  return VEXAHV_OK;
}

int setSysProp(Exchange& x, const char* prop, const void* value) {
  unsigned mode = 0, type = 0;
  if (!value) return VEXAHV_ERR_INVALID_ARGUMENT;
  // The type says how many bytes the caller's value has.
  if (int rc = getSysPropInfo(x, prop, &mode, &type); rc != VEXAHV_OK) return rc;
  ByteWriter w;
  w.text(prop);
  w.u32(type);
  if (type == kStringSysPropType) {
    const char* text = static_cast<const char*>(value);
    const std::size_t n = ::strnlen(text, kSysPropTextLength + 1);
    if (n > kSysPropTextLength) return VEXAHV_ERR_OUT_OF_RANGE;
    w.text(std::string_view(text, n));
  } else if (type == VEXAHV_SYSPROP_UINT2 || type == VEXAHV_SYSPROP_INT2 ||
             type == VEXAHV_SYSPROP_BOOL) {
    std::uint16_t v = 0;
    std::memcpy(&v, value, 2);
    w.u32(v);
  } else if (type <= VEXAHV_SYSPROP_BOOL) {
    std::uint32_t v = 0;
    std::memcpy(&v, value, 4);
    w.u32(v);
  } else {
    return VEXAHV_ERR_PROTOCOL;
  }
  return call(x, Op::SetSysProp, w);
}

int getBdParamInfo(Exchange& x, std::uint16_t slot, char** names) {
  if (!names) return VEXAHV_ERR_INVALID_ARGUMENT;
  ByteWriter w;
  w.u16(slot);
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetBdParamInfo, w, response); rc != VEXAHV_OK) return rc;
  return readNameList(response, names, nullptr);
}

int getBdParamProp(Exchange& x, std::uint16_t slot, const char* param, const char* prop,
                   void* value) {
  std::string p, q;
  ValueKind kind{};
  if (!value || !takeName(param, kMaxParamNameLength, p) || !takeName(prop, kMaxNameLength, q)) {
    return VEXAHV_ERR_INVALID_ARGUMENT;
  }
  if (!propertyValueKind(q, kind)) return VEXAHV_ERR_NO_PROPERTY;
  ByteWriter w;
  w.u16(slot);
  w.text(p);
  w.text(q);
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetBdParamProp, w, response); rc != VEXAHV_OK) return rc;
  return learnIfType(x, ParamTypeCache::key(slot, -1, p), q, readPropertyValue(response, kind, value), value);
}

int getBdParam(Exchange& x, std::uint16_t nrOfSlots, const std::uint16_t* slotList,
               const char* param, void* values) {
  std::string p;
  if (!values || !validList(nrOfSlots, slotList) || !takeName(param, kMaxParamNameLength, p)) {
    return VEXAHV_ERR_INVALID_ARGUMENT;
  }
  ByteWriter w;
  writeChannels(w, nrOfSlots, slotList);
  w.text(p);
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetBdParam, w, response); rc != VEXAHV_OK) return rc;
  ByteReader r(response);
  return readParamValues(r, nrOfSlots, values);
}

int setBdParam(Exchange& x, std::uint16_t nrOfSlots, const std::uint16_t* slotList,
               const char* param, const void* value) {
  std::string p;
  if (!value || !validList(nrOfSlots, slotList) || !takeName(param, kMaxParamNameLength, p)) {
    return VEXAHV_ERR_INVALID_ARGUMENT;
  }
  const std::string key = ParamTypeCache::key(slotList[0], -1, p);
  std::uint32_t type = 0;
  if (int rc = typeOf(x, key, type, [&] { return getBdParamProp(x, slotList[0], param, "Type", &type); });
      rc != VEXAHV_OK) {
    return rc;
  }
  ByteWriter w;
  writeChannels(w, nrOfSlots, slotList);
  w.text(p);
  if (int rc = writeParamValue(w, type, value); rc != VEXAHV_OK) return rc;
  return forgetIfRefused(x, key, call(x, Op::SetBdParam, w));
}

int getChParamInfo(Exchange& x, std::uint16_t slot, std::uint16_t channel, char** names,
                   int* count) {
  if (!names || !count) return VEXAHV_ERR_INVALID_ARGUMENT;
  ByteWriter w;
  w.u16(slot);
  w.u16(channel);
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetChParamInfo, w, response); rc != VEXAHV_OK) return rc;
  return readNameList(response, names, count);
}

int getChParamProp(Exchange& x, std::uint16_t slot, std::uint16_t channel, const char* param,
                   const char* prop, void* value) {
  std::string p, q;
  ValueKind kind{};
  if (!value || !takeName(param, kMaxParamNameLength, p) || !takeName(prop, kMaxNameLength, q)) {
    return VEXAHV_ERR_INVALID_ARGUMENT;
  }
  if (!propertyValueKind(q, kind)) return VEXAHV_ERR_NO_PROPERTY;
  ByteWriter w;
  w.u16(slot);
  w.u16(channel);
  w.text(p);
  w.text(q);
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetChParamProp, w, response); rc != VEXAHV_OK) return rc;
  return learnIfType(x, ParamTypeCache::key(slot, ParamTypeCache::kEveryChannel, p), q,
                     readPropertyValue(response, kind, value), value);
}

int getChParam(Exchange& x, std::uint16_t slot, const char* param, std::uint16_t nrOfChannels,
               const std::uint16_t* channelList, void* values) {
  std::string p;
  if (!values || !validList(nrOfChannels, channelList) || !takeName(param, kMaxParamNameLength, p)) {
    return VEXAHV_ERR_INVALID_ARGUMENT;
  }
  ByteWriter w;
  w.u16(slot);
  w.text(p);
  writeChannels(w, nrOfChannels, channelList);
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetChParam, w, response); rc != VEXAHV_OK) return rc;
  ByteReader r(response);
  return readParamValues(r, nrOfChannels, values);
}

int setChParam(Exchange& x, std::uint16_t slot, const char* param, std::uint16_t nrOfChannels,
               const std::uint16_t* channelList, const void* value) {
  std::string p;
  if (!value || !validList(nrOfChannels, channelList) || !takeName(param, kMaxParamNameLength, p)) {
    return VEXAHV_ERR_INVALID_ARGUMENT;
  }
  const std::string key = ParamTypeCache::key(slot, ParamTypeCache::kEveryChannel, p);
  std::uint32_t type = 0;
  if (int rc = typeOf(x, key, type, [&] { return getChParamProp(x, slot, channelList[0], param, "Type", &type); });
      rc != VEXAHV_OK) {
    return rc;
  }
  ByteWriter w;
  w.u16(slot);
  w.text(p);
  writeChannels(w, nrOfChannels, channelList);
  if (int rc = writeParamValue(w, type, value); rc != VEXAHV_OK) return rc;
  return forgetIfRefused(x, key, call(x, Op::SetChParam, w));
}

int getChName(Exchange& x, std::uint16_t slot, std::uint16_t nrOfChannels,
              const std::uint16_t* channelList, char (*names)[VEXAHV_CH_NAME_SIZE]) {
  if (!names || !validList(nrOfChannels, channelList)) return VEXAHV_ERR_INVALID_ARGUMENT;
  ByteWriter w;
  w.u16(slot);
  writeChannels(w, nrOfChannels, channelList);
  std::vector<std::uint8_t> response;
  if (int rc = call(x, Op::GetChName, w, response); rc != VEXAHV_OK) return rc;
  ByteReader r(response);
  std::vector<std::string> got(nrOfChannels);
  for (auto& name : got) name = r.text(kMaxChannelNameLength);
  if (!r.atEnd()) return VEXAHV_ERR_PROTOCOL;
  for (std::size_t i = 0; i < got.size(); ++i) copyText(got[i], names[i], VEXAHV_CH_NAME_SIZE);
  return VEXAHV_OK;
}

int setChName(Exchange& x, std::uint16_t slot, std::uint16_t nrOfChannels,
              const std::uint16_t* channelList, const char* name) {
  if (!name || !validList(nrOfChannels, channelList)) return VEXAHV_ERR_INVALID_ARGUMENT;
  const std::size_t n = ::strnlen(name, kMaxChannelNameLength + 1);
  if (n > kMaxChannelNameLength) return VEXAHV_ERR_OUT_OF_RANGE;
  ByteWriter w;
  w.u16(slot);
  writeChannels(w, nrOfChannels, channelList);
  w.text(std::string_view(name, n));
  return call(x, Op::SetChName, w);
}

int execComm(Exchange& x, const char* command) {
  std::string name;
  if (!takeName(command, kMaxNameLength, name)) return VEXAHV_ERR_INVALID_ARGUMENT;
  ByteWriter w;
  w.text(name);
  return call(x, Op::ExecComm, w);
}

int subscribe(Exchange& x, Op op, std::uint16_t port, std::uint16_t count, const char* list,
              char* results) {
  ByteWriter w;
  w.u16(port);
  return subscribeWith(x, op, w, list, count, results);
}

int subscribeSystem(Exchange& x, std::uint16_t port, const char* list, std::uint16_t count,
                    char* results) {
  ByteWriter w;
  w.u16(port);
  return subscribeWith(x, Op::SubscribeSystem, w, list, count, results);
}

int subscribeBoard(Exchange& x, std::uint16_t port, std::uint16_t slot, const char* list,
                   std::uint16_t count, char* results) {
  ByteWriter w;
  w.u16(port);
  w.u16(slot);
  return subscribeWith(x, Op::SubscribeBoard, w, list, count, results);
}

int subscribeChannel(Exchange& x, std::uint16_t port, std::uint16_t slot, std::uint16_t channel,
                     const char* list, std::uint16_t count, char* results) {
  ByteWriter w;
  w.u16(port);
  w.u16(slot);
  w.u16(channel);
  return subscribeWith(x, Op::SubscribeChannel, w, list, count, results);
}

}  // namespace vexahv::hwlib::calls
