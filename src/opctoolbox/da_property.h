#pragma once
// OPC properties of an item: described by id, name and type; a constant property also
// holds its fixed value.

#include <cstdint>
#include <string>

#include "opctoolbox/value_qt.h"

namespace OpcToolbox {

class DaProperty {
 public:
  virtual ~DaProperty() = default;
  void setId(int id) noexcept { id_ = id; }
  void setName(std::string name) { name_ = std::move(name); }
  void setDescription(std::string d) { description_ = std::move(d); }
  void setItemId(std::string id) { itemId_ = std::move(id); }
  void setDatatype(std::uint16_t vt) noexcept { datatype_ = vt; }
  void setAccessRights(std::uint32_t a) noexcept { accessRights_ = a; }
  int getId() const noexcept { return id_; }
  const std::string& getName() const noexcept { return name_; }
  const std::string& getDescription() const noexcept { return description_; }
  const std::string& getItemId() const noexcept { return itemId_; }
  std::uint16_t getDatatype() const noexcept { return datatype_; }
  std::uint32_t getAccessRights() const noexcept { return accessRights_; }

 private:
  int id_ = 0;
  std::string name_, description_, itemId_;
  std::uint16_t datatype_ = VT_EMPTY;
  std::uint32_t accessRights_ = 1;
};

class DaConstantProperty : public DaProperty {
 public:
  DaConstantProperty() = default;
  explicit DaConstantProperty(ValueQT value) : value_(std::move(value)) {}
  const ValueQT& getValue() const noexcept { return value_; }
  void setValue(ValueQT v) { value_ = std::move(v); }

 private:
  ValueQT value_;
};

}  // namespace OpcToolbox
