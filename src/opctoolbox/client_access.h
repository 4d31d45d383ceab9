#pragma once
// What clients do with the toolbox, in process: sessions, browsing, device and cache
// reads, writes, and monitoring. The OPC UA endpoint drives this; so do the tests.
// Device reads and writes become one transaction each, made through the server's creator
// and run on the worker pool; polled items being monitored are sampled in one
// transaction per group falling due together.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <span>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "opctoolbox/creator.h"
#include "opctoolbox/monitor_book.h"
#include "opctoolbox/poll_scheduler.h"
#include "opctoolbox/transaction_pool.h"
#include "platform/worker_thread.h"

namespace OpcToolbox {

struct ItemRef {
  ElementPtr element;  // null: a request the server will find invalid
  int propertyId = 0;  // 0: the item's value
};

struct ReadResult {
  ValueQT value;
  long result = E_FAIL;
};

// The answers of one read transaction, one per item in order, read from its requests
// (no copy of the values); every one the reason when the transaction was cancelled
// (E_ABORT at stop, E_UNEXPECTED when it failed).
class ReadAnswers {
 public:
  explicit ReadAnswers(const RequestList& answered) : answered_(&answered), size_(answered.size()) {}
  static ReadAnswers aborted(std::size_t n, long reason = E_ABORT) { return ReadAnswers(n, reason); }
  std::size_t size() const noexcept { return size_; }
  long result(std::size_t i) const { return answered_ ? (*answered_)[i]->getResult() : reason_; }
  const ValueQT& value(std::size_t i) const {
    static const ValueQT none;
    return answered_ ? (*answered_)[i]->getValue() : none;
  }
  const DaRequest* request(std::size_t i) const { return answered_ ? (*answered_)[i].get() : nullptr; }

 private:
  ReadAnswers(std::size_t n, long reason) : size_(n), reason_(reason) {}
  const RequestList* answered_ = nullptr;
  std::size_t size_ = 0;
  long reason_ = E_ABORT;
};

struct WriteItem {
  ElementPtr element;
  ValueQT value;
};

class ClientAccess {
 public:
  using ReadDone = std::function<void(const ReadAnswers&)>;
  using WriteDone = std::function<void(std::vector<long>)>;

  ClientAccess(Creator& creator, DaAddressSpaceRoot& root, unsigned workers);
  ~ClientAccess() { stop(); }

  // Runs nothing new; queued transactions are answered E_ABORT; joins every thread.
  void stop();

  long openSession(const std::string& clientName, std::uint32_t& handle);
  long closeSession(std::uint32_t handle);
  std::size_t sessionCount() const;

  // Children of the element with that item id ("" is the root); empty when unknown.
  std::vector<ElementPtr> browse(std::string_view itemId) const;
  ElementPtr find(std::string_view itemId) const { return root_.findElement(itemId); }

  // One read transaction for all items; done runs with one result per item, in order: on
  // a worker thread, or before this returns when the transaction is small and cannot
  // block (see DaTransaction::mayBlock) or the toolbox is stopping. A write answers the
  // same way.
  // tag: the client's handle of the request (0: none), by which cancelReads finds it.
  long readFromDevice(std::uint32_t session, std::vector<ItemRef> items, ReadDone done, std::uint32_t tag = 0);
  // The session's device reads of that tag still queued are answered at once, every item
  // E_CANCELLED_BY_CLIENT, and never reach the device. How many there were.
  std::size_t cancelReads(std::uint32_t session, std::uint32_t tag);
  long readFromDevice(std::uint32_t session, std::vector<ItemRef> items, std::vector<ReadResult>& out);
  std::vector<ReadResult> readFromCache(const std::vector<ElementPtr>& items) const;

  // Values are converted to each item's data type first; an item that is not writeable
  // (OPC_E_BADRIGHTS) or whose value does not convert (the conversion's result) is
  // answered at once and never reaches the server.
  long write(std::uint32_t session, std::vector<WriteItem> items, WriteDone done);
  long write(std::uint32_t session, std::vector<WriteItem> items, std::vector<long>& results);

  // The first monitor of an item activates it (change(true, rate)) and, for a polled item,
  // starts sampling it at the fastest rate asked of it; the last unmonitor deactivates it.
  // The caller chose the rate (at least 1 ms). The observer sees every new value until
  // unmonitor. change() may talk to the hardware (an event subscription), so it runs on
  // the activation thread, never on the caller's: a silent device stalls no client. Per
  // element only the latest wish is carried out, so the pending work is bounded by the
  // elements, whatever a client does.
  long monitor(const ElementPtr& element, int samplingMs, ValueObserver* observer,
               std::uint64_t& handle);
  // Many monitors at once (a CreateMonitoredItems of thousands), under one lock; each
  // ask's handle is set, 0 for an ask without an element or an observer.
  struct MonitorAsk {
    const ElementPtr* element = nullptr;
    int samplingMs = 0;
    ValueObserver* observer = nullptr;
    std::uint64_t handle = 0;
  };
  void monitorMany(std::span<MonitorAsk> asks);
  long unmonitor(std::uint64_t handle);
  // Returns once every activation and deactivation asked for so far has been carried out.
  void flushActivations();
  // While one lives, activation wishes gather (for at most 200 ms) and are then carried out
  // together: a service that monitors many items at once holds one around its loop.
  class ActivationHold {
   public:
    explicit ActivationHold(ClientAccess* clients);
    ~ActivationHold();
    ActivationHold(const ActivationHold&) = delete;
    ActivationHold& operator=(const ActivationHold&) = delete;

   private:
    ClientAccess* clients_;
  };

 private:
  bool knownSession(std::uint32_t handle) const;
  void sample(std::vector<ElementPtr> due, std::function<void()> done);
  struct Wish {
    ElementPtr element;
    bool active = false;
    int rate = 0;
  };
  // The elements should be active (at their rates) or not; the activation thread makes it so.
  void wantActive(std::span<Wish> wishes);
  void activationLoop(std::stop_token stop);

  Creator& creator_;
  DaAddressSpaceRoot& root_;
  mutable std::mutex mutex_;
  std::map<std::uint32_t, std::shared_ptr<DaSession>> sessions_;
  std::uint32_t nextSession_ = 1;
  MonitorBook monitors_;
  std::uint32_t nextRequest_ = 1;
  TransactionPool pool_;
  PollScheduler scheduler_;

  std::mutex activationMutex_;
  std::condition_variable_any activationCv_;
  std::unordered_map<const DaAddressSpaceElement*, Wish> wishes_;  // not yet carried out
  std::deque<const DaAddressSpaceElement*> wishOrder_;
  // The elements change(true) was last called for (activation thread only).
  std::unordered_map<const DaAddressSpaceElement*, std::weak_ptr<DaAddressSpaceElement>> active_;
  std::size_t inProgress_ = 0;
  std::size_t holds_ = 0;
  bool activatorDone_ = false;
  vexahv::platform::WorkerThread activator_;  // last: starts after, and ends before, the above
};

}  // namespace OpcToolbox
