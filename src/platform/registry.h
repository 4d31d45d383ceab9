#pragma once
// The registry stand-in: typed values under keys, one hive file per hive under
// <platform root>/registry/. Every operation reads the hive under an advisory lock and a
// change replaces the file atomically, so a crash leaves the old or the new file and
// writers in different processes never lose each other's updates.
//
// A damaged hive file is renamed aside ("<hive>.damaged-<UTC time>"), reported through
// the platform diagnostics, and the operation answers Corrupt; the next operation starts
// from an empty hive.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_lock.h"
#include "platform/hive_format.h"

namespace vexahv::platform {

enum class RegResult {
  Success,
  NotFound,         // no such key or value
  MoreData,         // the caller's buffer is smaller than the value; size tells the need
  AccessDenied,     // the hive or its directory may not be read or written
  IoError,          // any other failure to read, write or lock the hive
  Corrupt,          // the hive file was damaged and has been kept aside
  InvalidArgument,  // a malformed key path, name or value, or a write in a read transaction
};

const char* regResultText(RegResult r) noexcept;

enum class Hive { CurrentUser, ClassesRoot };

const char* hiveName(Hive hive) noexcept;  // "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT"

// A consistent view of one hive for a sequence of operations. A write transaction holds
// the hive's exclusive lock until commit or destruction; nothing reaches the file before
// commit(). Not thread-safe itself: one thread per transaction.
class RegistryTransaction {
 public:
  RegistryTransaction() = default;
  RegistryTransaction(RegistryTransaction&&) = default;
  RegistryTransaction& operator=(RegistryTransaction&&) = default;

  bool keyExists(std::string_view keyPath) const;
  RegResult createKey(std::string_view keyPath);
  // Deletes the key with its sub-keys and values.
  RegResult deleteKey(std::string_view keyPath);

  // Win32 query semantics: with data == nullptr only *size (and *type) are set; with a
  // buffer smaller than the value, MoreData and *size = the size needed.
  RegResult queryValue(std::string_view keyPath, std::string_view name, RegType* type, void* data,
                       std::uint32_t* size) const;
  RegResult setValue(std::string_view keyPath, std::string_view name, RegType type,
                     std::string_view data);
  RegResult deleteValue(std::string_view keyPath, std::string_view name);

  std::vector<std::string> subKeyNames(std::string_view keyPath) const;  // direct children
  std::vector<std::string> valueNames(std::string_view keyPath) const;

  // Writes the hive when anything changed and releases the lock.
  RegResult commit();

 private:
  friend class Registry;
  const RegKeyData* findKey(std::string_view keyPath) const;
  RegKeyData* findKey(std::string_view keyPath);

  std::filesystem::path file_;
  HiveData data_;
  FileLock lock_;
  bool writable_ = false;
  bool dirty_ = false;
};

class Registry {
 public:
  explicit Registry(std::filesystem::path root) : dir_(std::move(root) / "registry") {}
  // The registry of this process's platform root, as VEXAHV_ROOT says now.
  static Registry forProcess();

  enum class Access { Read, Write };
  RegResult begin(Hive hive, Access access, RegistryTransaction& out) const;

  // One-call operations, each its own transaction.
  RegResult keyExists(Hive hive, std::string_view keyPath) const;  // Success or NotFound
  RegResult createKey(Hive hive, std::string_view keyPath) const;
  RegResult deleteKey(Hive hive, std::string_view keyPath) const;
  RegResult queryValue(Hive hive, std::string_view keyPath, std::string_view name, RegType* type,
                       void* data, std::uint32_t* size) const;
  RegResult setValue(Hive hive, std::string_view keyPath, std::string_view name, RegType type,
                     std::string_view data) const;
  RegResult setString(Hive hive, std::string_view keyPath, std::string_view name,
                      std::string_view text) const;  // REG_SZ with its terminating zero
  RegResult setDword(Hive hive, std::string_view keyPath, std::string_view name,
                     std::uint32_t value) const;
  RegResult deleteValue(Hive hive, std::string_view keyPath, std::string_view name) const;

  std::filesystem::path hiveFile(Hive hive) const;

 private:
  std::filesystem::path dir_;
};

// REG_SZ data for text: the bytes and one terminating zero.
std::string stringData(std::string_view text);
std::string dwordData(std::uint32_t value);

}  // namespace vexahv::platform
