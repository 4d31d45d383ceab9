#pragma once
// Batched group reads: the requests of one read transaction sorted by the parameter they
// ask for, the batchable channel parameters grouped by system and slot and read with one
// multi-channel library call per group; everything else is read item by item.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "opctoolbox/da_request.h"
#include "opctoolbox/value_qt.h"

namespace vexahv {

class VEXAHVElement;

// One request, its element (null when it is none of the server's) and the value read
// for it, which starts empty, waiting for initial data, with no timestamp.
class RequestElementValueTrio {
 public:
  RequestElementValueTrio(std::shared_ptr<OpcToolbox::DaRequest> request, VEXAHVElement* element)
      : request(std::move(request)), element(element) {}
  virtual ~RequestElementValueTrio() = default;

  const std::shared_ptr<OpcToolbox::DaRequest> request;
  VEXAHVElement* const element;
  OpcToolbox::ValueQT value;
};

// The batch read type of an element: 0..11 for a readable channel parameter of a
// connected system whose name is batchable, 12 for everything else.
inline constexpr int kNotBatched = 12;
int getBatchReadType(const VEXAHVElement* element);
// Past the listed names: any other readable channel parameter whose binding gives a
// library type the batched read converts (0..5, not the channel's "Name"), read by name
// after the listed ones.
inline constexpr int kBatchedByName = 13;
bool batchableByBinding(const VEXAHVElement* element);

class VEXAHVGroupReadTransactionHandler {
 public:
  explicit VEXAHVGroupReadTransactionHandler(const OpcToolbox::RequestList& requests);
  virtual ~VEXAHVGroupReadTransactionHandler() = default;
  VEXAHVGroupReadTransactionHandler(const VEXAHVGroupReadTransactionHandler&) = delete;
  VEXAHVGroupReadTransactionHandler& operator=(const VEXAHVGroupReadTransactionHandler&) = delete;

  // Reads every request and answers each with S_OK and its value.
  void readTransaction();

  // The trios of one batch read type by system handle and slot, in request order.
  class BatchReaderMap {
   public:
    explicit BatchReaderMap(int batchReadableType);
    void addElement(std::int32_t systemHandle, std::uint16_t slot, RequestElementValueTrio* trio);
    const std::map<std::int32_t, std::map<std::uint16_t, std::vector<RequestElementValueTrio*>>>& systems() const {
      return m_systems;
    }

   private:
    int m_batchReadableType;
    std::map<std::int32_t, std::map<std::uint16_t, std::vector<RequestElementValueTrio*>>> m_systems;
  };

 private:
  void readNonBatchElements();
  void readBatchElements(int batchReadType);
  void readBatchElementsByName();
  void readMultiChannelParametersAsBatch(std::int32_t systemHandle, std::uint16_t slot, const char* name,
                                         bool asFloat, const std::vector<RequestElementValueTrio*>& trios);

  std::multimap<int, std::unique_ptr<RequestElementValueTrio>> m_trios;
};

}  // namespace vexahv
