#include "platform/registry.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/diagnostics.h"
#include "platform/platform_root.h"

namespace vexahv::platform {
namespace {

RegResult fromErrno(const std::error_code& ec) {
  if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted ||
      ec == std::errc::read_only_file_system)
    return RegResult::AccessDenied;
  return RegResult::IoError;
}

std::string utcStamp() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
  return buf;
}

// Moves a damaged hive out of the way so that it can be inspected, never overwritten.
void keepAside(const std::filesystem::path& file, const std::string& why) {
  std::filesystem::path aside = file;
  aside += ".damaged-" + utcStamp();
  for (int n = 1; std::filesystem::exists(aside); ++n) {
    aside = file;
    aside += ".damaged-" + utcStamp() + "-" + std::to_string(n);
  }
  std::error_code ec;
  std::filesystem::rename(file, aside, ec);
  reportDiagnostic("registry hive " + file.string() + " is damaged (" + why + "); " +
                   (ec ? "could not move it aside: " + ec.message()
                       : "kept aside as " + aside.string()));
}

}  // namespace

const char* regResultText(RegResult r) noexcept {
  switch (r) {
    case RegResult::Success: return "success";
    case RegResult::NotFound: return "not found";
    case RegResult::MoreData: return "value larger than the buffer";
    case RegResult::AccessDenied: return "access denied";
    case RegResult::IoError: return "input/output error";
    case RegResult::Corrupt: return "hive file damaged";
    case RegResult::InvalidArgument: return "invalid argument";
  }
  return "unknown";
}

const char* hiveName(Hive hive) noexcept {
  return hive == Hive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_CLASSES_ROOT";
}

std::string stringData(std::string_view text) {
  std::string d(text);
  d += '\0';
  return d;
}

std::string dwordData(std::uint32_t value) {
  std::string d(4, '\0');
  for (int i = 0; i < 4; ++i) d[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return d;
}

// ---- RegistryTransaction ----------------------------------------------------------------

const RegKeyData* RegistryTransaction::findKey(std::string_view keyPath) const {
  auto path = normalizeKeyPath(keyPath);
  if (!path) return nullptr;
  auto it = data_.keys.find(foldName(*path));
  if (it != data_.keys.end()) return &it->second;
  return nullptr;
}

RegKeyData* RegistryTransaction::findKey(std::string_view keyPath) {
  return const_cast<RegKeyData*>(std::as_const(*this).findKey(keyPath));
}

bool RegistryTransaction::keyExists(std::string_view keyPath) const {
  auto path = normalizeKeyPath(keyPath);
  return path && (path->empty() || findKey(*path) != nullptr);
}

RegResult RegistryTransaction::createKey(std::string_view keyPath) {
  if (!writable_) return RegResult::InvalidArgument;
  auto path = normalizeKeyPath(keyPath);
  if (!path) return RegResult::InvalidArgument;
  // Every ancestor exists as a key of its own, so sub-key listing finds it.
  std::size_t pos = 0;
  while (pos <= path->size() && !path->empty()) {
    std::size_t sep = path->find('\\', pos);
    std::string prefix = path->substr(0, sep);
    std::string folded = foldName(prefix);
    if (!data_.keys.count(folded)) {
      data_.keys[folded].path = prefix;
      dirty_ = true;
    }
    if (sep == std::string::npos) break;
    pos = sep + 1;
  }
  return RegResult::Success;
}

RegResult RegistryTransaction::deleteKey(std::string_view keyPath) {
  if (!writable_) return RegResult::InvalidArgument;
  auto path = normalizeKeyPath(keyPath);
  if (!path || path->empty()) return RegResult::InvalidArgument;
  const std::string folded = foldName(*path);
  auto it = data_.keys.find(folded);
  if (it == data_.keys.end()) return RegResult::NotFound;
  const std::string childPrefix = folded + '\\';
  while (it != data_.keys.end() &&
         (it->first == folded || it->first.compare(0, childPrefix.size(), childPrefix) == 0))
    it = data_.keys.erase(it);
  dirty_ = true;
  return RegResult::Success;
}

RegResult RegistryTransaction::queryValue(std::string_view keyPath, std::string_view name,
                                          RegType* type, void* data, std::uint32_t* size) const {
  const RegKeyData* key = findKey(keyPath);
  if (!key) return RegResult::NotFound;
  auto it = key->values.find(foldName(name));
  if (it == key->values.end()) return RegResult::NotFound;
  const RegValue& v = it->second;
  if (type) *type = v.type;
  const auto need = static_cast<std::uint32_t>(v.data.size());
  if (!data) {
    if (size) *size = need;
    return RegResult::Success;
  }
  if (!size) return RegResult::InvalidArgument;
  if (*size < need) {
    *size = need;
    return RegResult::MoreData;
  }
  if (need) std::memcpy(data, v.data.data(), need);
  *size = need;
  return RegResult::Success;
}

RegResult RegistryTransaction::setValue(std::string_view keyPath, std::string_view name,
                                        RegType type, std::string_view data) {
  if (!writable_) return RegResult::InvalidArgument;
  if (name.size() > kMaxValueName || data.size() > kMaxValueData) return RegResult::InvalidArgument;
  if (type != RegType::String && type != RegType::ExpandString && type != RegType::Binary &&
      type != RegType::Dword)
    return RegResult::InvalidArgument;
  RegKeyData* key = findKey(keyPath);
  if (!key) return RegResult::NotFound;
  RegValue& v = key->values[foldName(name)];
  if (v.name.empty()) v.name = std::string(name);
  v.type = type;
  v.data = std::string(data);
  dirty_ = true;
  return RegResult::Success;
}

RegResult RegistryTransaction::deleteValue(std::string_view keyPath, std::string_view name) {
  if (!writable_) return RegResult::InvalidArgument;
  RegKeyData* key = findKey(keyPath);
  if (!key) return RegResult::NotFound;
  if (key->values.erase(foldName(name)) == 0) return RegResult::NotFound;
  dirty_ = true;
  return RegResult::Success;
}

std::vector<std::string> RegistryTransaction::subKeyNames(std::string_view keyPath) const {
  std::vector<std::string> names;
  auto path = normalizeKeyPath(keyPath);
  if (!path) return names;
  const std::string prefix = path->empty() ? std::string() : foldName(*path) + '\\';
  for (const auto& [folded, key] : data_.keys) {
    if (folded.empty() || folded.compare(0, prefix.size(), prefix) != 0) continue;
    std::string_view rest = std::string_view(key.path).substr(prefix.size());
    if (rest.find('\\') == std::string_view::npos) names.emplace_back(rest);
  }
  return names;
}

std::vector<std::string> RegistryTransaction::valueNames(std::string_view keyPath) const {
  std::vector<std::string> names;
  if (const RegKeyData* key = findKey(keyPath))
    for (const auto& [folded, v] : key->values) names.push_back(v.name);
  return names;
}

RegResult RegistryTransaction::commit() {
  RegResult result = RegResult::Success;
  if (writable_ && dirty_) {
    removeStaleTemporaries(file_);
    // The systems list holds the mainframes' passwords.
    if (auto ec = replaceSecretFileAtomically(file_, formatHive(data_))) result = fromErrno(ec);
    dirty_ = false;
  }
  lock_.release();
  writable_ = false;
  return result;
}

// ---- Registry ---------------------------------------------------------------------------

Registry Registry::forProcess() { return Registry(platformRoot()); }

std::filesystem::path Registry::hiveFile(Hive hive) const {
  return dir_ / (std::string(hiveName(hive)) + ".hive");
}

RegResult Registry::begin(Hive hive, Access access, RegistryTransaction& out) const {
  out = RegistryTransaction();
  out.file_ = hiveFile(hive);
  std::filesystem::path lockFile = dir_ / (std::string(hiveName(hive)) + ".lock");
  if (auto ec = ensureDirectory(dir_)) return fromErrno(ec);
  // A reader that finds damage needs the exclusive lock to move the file aside, so
  // damage is handled by a second, exclusive pass.
  for (int pass = 0; pass < 2; ++pass) {
    const bool exclusive = access == Access::Write || pass == 1;
    if (auto ec = FileLock::acquire(
            lockFile, exclusive ? FileLock::Mode::Exclusive : FileLock::Mode::Shared, out.lock_))
      return fromErrno(ec);
    std::string text;
    std::error_code ec = readWholeFile(out.file_, text);
    if (ec == std::errc::no_such_file_or_directory) {
      out.data_ = {};
    } else if (ec) {
      out.lock_.release();
      return fromErrno(ec);
    } else {
      std::string error;
      if (!parseHive(text, out.data_, error)) {
        if (!exclusive) {
          out.lock_.release();
          continue;
        }
        keepAside(out.file_, error);
        out.lock_.release();
        out.data_ = {};
        return RegResult::Corrupt;
      }
    }
    out.writable_ = access == Access::Write;
    if (!out.writable_) out.lock_.release();  // the snapshot is consistent; let others in
    return RegResult::Success;
  }
  return RegResult::IoError;
}

RegResult Registry::keyExists(Hive hive, std::string_view keyPath) const {
  RegistryTransaction tx;
  if (RegResult r = begin(hive, Access::Read, tx); r != RegResult::Success) return r;
  return tx.keyExists(keyPath) ? RegResult::Success : RegResult::NotFound;
}

namespace {
template <class Op>
RegResult writeOne(const Registry& reg, Hive hive, Op op) {
  RegistryTransaction tx;
  if (RegResult r = reg.begin(hive, Registry::Access::Write, tx); r != RegResult::Success) return r;
  if (RegResult r = op(tx); r != RegResult::Success) return r;
  return tx.commit();
}
}  // namespace

RegResult Registry::createKey(Hive hive, std::string_view keyPath) const {
  return writeOne(*this, hive, [&](RegistryTransaction& tx) { return tx.createKey(keyPath); });
}

RegResult Registry::deleteKey(Hive hive, std::string_view keyPath) const {
  return writeOne(*this, hive, [&](RegistryTransaction& tx) { return tx.deleteKey(keyPath); });
}

RegResult Registry::queryValue(Hive hive, std::string_view keyPath, std::string_view name,
                               RegType* type, void* data, std::uint32_t* size) const {
  RegistryTransaction tx;
  if (RegResult r = begin(hive, Access::Read, tx); r != RegResult::Success) return r;
  return tx.queryValue(keyPath, name, type, data, size);
}

RegResult Registry::setValue(Hive hive, std::string_view keyPath, std::string_view name,
                             RegType type, std::string_view data) const {
  return writeOne(*this, hive,
                  [&](RegistryTransaction& tx) { return tx.setValue(keyPath, name, type, data); });
}

RegResult Registry::setString(Hive hive, std::string_view keyPath, std::string_view name,
                              std::string_view text) const {
  return setValue(hive, keyPath, name, RegType::String, stringData(text));
}

RegResult Registry::setDword(Hive hive, std::string_view keyPath, std::string_view name,
                             std::uint32_t value) const {
  return setValue(hive, keyPath, name, RegType::Dword, dwordData(value));
}

RegResult Registry::deleteValue(Hive hive, std::string_view keyPath, std::string_view name) const {
  return writeOne(*this, hive,
                  [&](RegistryTransaction& tx) { return tx.deleteValue(keyPath, name); });
}

}  // namespace vexahv::platform
