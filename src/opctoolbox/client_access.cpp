#include "opctoolbox/client_access.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>

namespace OpcToolbox {
namespace {

// Runs a read transaction and tells each element it held how long the read took.
void timedRead(DaTransaction& transaction) {
  const auto start = std::chrono::steady_clock::now();
  transaction.handleReadRequests();
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  for (const auto& r : transaction.getRequests()) {
    if (r && r->getPropertyId() == 0 && r->element()) r->element()->noteReadTime(took);
  }
  transaction.completeRequests();  // in case the handler did not
}

// A transaction that cannot block runs on its issuer's thread up to this many items. A
// larger one goes to a worker all the same: thousands of values are read and encoded
// faster on a core of their own than on the network thread between its other work.
constexpr std::size_t kMostItemsRunHere = 256;

std::vector<ReadResult> resultsOf(const ReadAnswers& answers) {
  std::vector<ReadResult> out;
  out.reserve(answers.size());
  for (std::size_t i = 0; i < answers.size(); ++i) out.push_back(ReadResult{answers.value(i), answers.result(i)});
  return out;
}

}  // namespace

ClientAccess::ClientAccess(Creator& creator, DaAddressSpaceRoot& root, unsigned workers)
    : creator_(creator),
      root_(root),
      pool_(workers),
      scheduler_([this](std::vector<ElementPtr> due, std::function<void()> done) {
        sample(std::move(due), std::move(done));
      }),
      activator_("tb-activate", [this](std::stop_token st) { activationLoop(st); }) {}

void ClientAccess::stop() {
  activator_.requestStop();
  activationCv_.notify_all();
  activator_.join();
  scheduler_.stop();
  pool_.stop();
}

void ClientAccess::wantActive(std::span<Wish> wishes) {
  if (wishes.empty()) return;
  bool wake = false;
  {
    std::lock_guard lock(activationMutex_);
    // The activator waits for a first wish, or for the holds to end (their end wakes it):
    // a wish added behind others, or under a hold, need not wake it again.
    wake = wishOrder_.empty() && holds_ == 0;
    for (Wish& wish : wishes) {
      const DaAddressSpaceElement* key = wish.element.get();
      auto [it, fresh] = wishes_.try_emplace(key, std::move(wish));
      if (fresh) wishOrder_.push_back(key);
      else it->second = std::move(wish);
    }
  }
  if (wake) activationCv_.notify_all();
}

void ClientAccess::activationLoop(std::stop_token stop) {
  // Up to this many wishes are carried out together, so that a CreateMonitoredItems of
  // thousands costs the device a few calls, not thousands.
  constexpr std::size_t kBatch = 4096;
  std::unique_lock lock(activationMutex_);
  while (!stop.stop_requested()) {
    if (wishOrder_.empty()) {
      activationCv_.wait(lock, stop, [this] { return !wishOrder_.empty(); });
      continue;
    }
    if (holds_ > 0) {
      activationCv_.wait_for(lock, stop, std::chrono::milliseconds(200), [this] { return holds_ == 0; });
    }
    std::vector<Wish> batch;
    while (!wishOrder_.empty() && batch.size() < kBatch) {
      const DaAddressSpaceElement* key = wishOrder_.front();
      wishOrder_.pop_front();
      batch.push_back(std::move(wishes_.at(key)));
      wishes_.erase(key);
    }
    inProgress_ += batch.size();
    lock.unlock();
    std::vector<Creator::ActivationChange> changes;
    for (const Wish& wish : batch) {
      const DaAddressSpaceElement* key = wish.element.get();
      // An entry of an element that is gone (same address, another element) does not count.
      auto known = active_.find(key);
      const bool isActive = known != active_.end() && known->second.lock() == wish.element;
      if (isActive != wish.active) changes.push_back({wish.element, wish.active, wish.rate});
      if (wish.active) active_[key] = wish.element;
      else if (known != active_.end()) active_.erase(known);
    }
    if (!changes.empty()) creator_.changeActivations(changes);
    changes.clear();
    const std::size_t done = batch.size();
    batch.clear();
    lock.lock();
    inProgress_ -= done;
    activationCv_.notify_all();
  }
  activatorDone_ = true;
  activationCv_.notify_all();
}

ClientAccess::ActivationHold::ActivationHold(ClientAccess* clients) : clients_(clients) {
  if (clients_ == nullptr) return;
  std::lock_guard lock(clients_->activationMutex_);
  ++clients_->holds_;
}

ClientAccess::ActivationHold::~ActivationHold() {
  if (clients_ == nullptr) return;
  {
    std::lock_guard lock(clients_->activationMutex_);
    --clients_->holds_;
  }
  clients_->activationCv_.notify_all();
}

void ClientAccess::flushActivations() {
  std::unique_lock lock(activationMutex_);
  activationCv_.wait(lock, [this] { return (wishOrder_.empty() && inProgress_ == 0) || activatorDone_; });
}

long ClientAccess::openSession(const std::string& clientName, std::uint32_t& handle) {
  std::shared_ptr<DaSession> session;
  {
    std::lock_guard lock(mutex_);
    handle = nextSession_++;
    session = creator_.createSession(EnumSessionType::Da, handle);
    if (!session) return E_OUTOFMEMORY;
    session->setClientName(clientName);
    sessions_.emplace(handle, session);
  }
  session->connectSession();
  return S_OK;
}

long ClientAccess::closeSession(std::uint32_t handle) {
  std::shared_ptr<DaSession> session;
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) return E_INVALIDARG;
    session = std::move(it->second);
    sessions_.erase(it);
  }
  session->disconnectSession();
  return S_OK;
}

std::size_t ClientAccess::sessionCount() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

bool ClientAccess::knownSession(std::uint32_t handle) const {
  std::lock_guard lock(mutex_);
  return sessions_.contains(handle);
}

std::vector<ElementPtr> ClientAccess::browse(std::string_view itemId) const {
  if (itemId.empty()) return root_.getChildren();
  const ElementPtr e = root_.findElement(itemId);
  return e ? e->getChildren() : std::vector<ElementPtr>{};
}

long ClientAccess::readFromDevice(std::uint32_t session, std::vector<ItemRef> items, ReadDone done, std::uint32_t tag) {
  if (!knownSession(session)) return E_INVALIDARG;
  RequestList requests;
  requests.reserve(items.size());
  std::uint32_t handle = 0;
  {
    std::lock_guard lock(mutex_);
    handle = nextRequest_;
    nextRequest_ += static_cast<std::uint32_t>(items.size());
  }
  for (auto& item : items) {
    auto r = creator_.createRequest(EnumTransactionType::Read, session, std::move(item.element),
                                    item.propertyId, handle++);
    if (!r) return E_OUTOFMEMORY;
    requests.push_back(std::move(r));
  }
  const std::size_t n = requests.size();
  auto transaction = creator_.createTransaction(EnumTransactionType::Read, std::move(requests), session);
  if (!transaction) return E_OUTOFMEMORY;
  auto shared = std::make_shared<ReadDone>(std::move(done));
  transaction->setCompletion([shared](const RequestList& answered) { (*shared)(ReadAnswers(answered)); });
  TransactionPool::Task task{[transaction] { timedRead(*transaction); },
                             [transaction, shared, n](long reason) {
                               if (!transaction->completed()) (*shared)(ReadAnswers::aborted(n, reason));
                             },
                             session, tag};
  const bool here = !transaction->mayBlock() && n <= kMostItemsRunHere;
  const bool taken = here ? pool_.runHere(std::move(task)) : pool_.submit(std::move(task));
  return taken ? S_OK : E_UNEXPECTED;
}

std::size_t ClientAccess::cancelReads(std::uint32_t session, std::uint32_t tag) {
  return pool_.cancel(session, tag, E_CANCELLED_BY_CLIENT);
}

long ClientAccess::readFromDevice(std::uint32_t session, std::vector<ItemRef> items,
                                  std::vector<ReadResult>& out) {
  auto promise = std::make_shared<std::promise<std::vector<ReadResult>>>();
  auto future = promise->get_future();
  const long rc = readFromDevice(session, std::move(items),
                                 [promise](const ReadAnswers& r) { promise->set_value(resultsOf(r)); });
  if (rc != S_OK) return rc;
  out = future.get();
  return S_OK;
}

std::vector<ReadResult> ClientAccess::readFromCache(const std::vector<ElementPtr>& items) const {
  std::vector<ReadResult> out(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i]) out[i].result = items[i]->getCacheValue(out[i].value);
  }
  return out;
}

long ClientAccess::write(std::uint32_t session, std::vector<WriteItem> items, WriteDone done) {
  if (!knownSession(session)) return E_INVALIDARG;
  auto results = std::make_shared<std::vector<long>>(items.size(), E_FAIL);
  std::vector<std::size_t> positions;  // of the items that go to the server
  RequestList requests;
  for (std::size_t i = 0; i < items.size(); ++i) {
    WriteItem& item = items[i];
    if (!item.element) {
      (*results)[i] = OPC_E_UNKNOWNITEMID;
      continue;
    }
    if ((item.element->getAccessRights() & kWriteable) == 0) {
      (*results)[i] = OPC_E_BADRIGHTS;
      continue;
    }
    ValueQT value = item.value;
    if (const long rc = value.data().changeDatatype(item.element->getDatatype()); rc != S_OK) {
      (*results)[i] = rc;
      continue;
    }
    std::uint32_t handle = 0;
    {
      std::lock_guard lock(mutex_);
      handle = nextRequest_++;
    }
    auto r = creator_.createRequest(EnumTransactionType::Write, session, item.element, 0, handle);
    if (!r) return E_OUTOFMEMORY;
    r->setValue(value);
    requests.push_back(std::move(r));
    positions.push_back(i);
  }
  auto shared = std::make_shared<WriteDone>(std::move(done));
  if (requests.empty()) {
    (*shared)(std::move(*results));
    return S_OK;
  }
  auto transaction = creator_.createTransaction(EnumTransactionType::Write, requests, session);
  if (!transaction) return E_OUTOFMEMORY;
  transaction->setCompletion([shared, results, positions](const RequestList& answered) {
    for (std::size_t k = 0; k < answered.size(); ++k) (*results)[positions[k]] = answered[k]->getResult();
    (*shared)(std::move(*results));
  });
  TransactionPool::Task task{[transaction] {
                               transaction->handleWriteRequests();
                               transaction->completeRequests();
                             },
                             [transaction, shared, results, positions](long reason) {
                               if (transaction->completed()) return;
                               for (std::size_t p : positions) (*results)[p] = reason;
                               (*shared)(std::move(*results));
                             }};
  const bool here = !transaction->mayBlock() && positions.size() <= kMostItemsRunHere;
  const bool taken = here ? pool_.runHere(std::move(task)) : pool_.submit(std::move(task));
  return taken ? S_OK : E_UNEXPECTED;
}

long ClientAccess::write(std::uint32_t session, std::vector<WriteItem> items, std::vector<long>& results) {
  auto promise = std::make_shared<std::promise<std::vector<long>>>();
  auto future = promise->get_future();
  const long rc = write(session, std::move(items),
                        [promise](std::vector<long> r) { promise->set_value(std::move(r)); });
  if (rc != S_OK) return rc;
  results = future.get();
  return S_OK;
}

long ClientAccess::monitor(const ElementPtr& element, int samplingMs, ValueObserver* observer,
                           std::uint64_t& handle) {
  MonitorAsk ask{&element, samplingMs, observer, 0};
  monitorMany(std::span<MonitorAsk>(&ask, 1));
  handle = ask.handle;
  return handle != 0 ? S_OK : E_INVALIDARG;
}

void ClientAccess::monitorMany(std::span<MonitorAsk> asks) {
  std::vector<Wish> wishes;  // the elements monitored for the first time
  if (asks.size() > 1) wishes.reserve(asks.size());
  std::vector<std::pair<const ElementPtr*, int>> polled;  // polled elements and their rates now
  {
    std::lock_guard lock(mutex_);
    monitors_.reserve(asks.size());
    for (MonitorAsk& ask : asks) {
      ask.handle = 0;
      if (ask.element == nullptr || !*ask.element || ask.observer == nullptr) continue;
      const ElementPtr& element = *ask.element;
      const int rate = std::max(ask.samplingMs, 1);
      const MonitorBook::Added added = monitors_.add(element, rate, ask.observer);
      ask.handle = added.handle;
      if (added.first) wishes.push_back(Wish{element, true, rate});
      if (element->getIoMode() == kIoPoll) polled.emplace_back(&element, added.fastest);
    }
  }
  for (const MonitorAsk& ask : asks) {
    if (ask.handle != 0) (*ask.element)->addObserver(ask.observer);
  }
  wantActive(wishes);
  for (const auto& [element, fastest] : polled) scheduler_.add(*element, fastest);
}

long ClientAccess::unmonitor(std::uint64_t handle) {
  std::pair<MonitorBook::Monitor, int> removed;
  {
    std::lock_guard lock(mutex_);
    removed = monitors_.remove(handle);
  }
  auto& [m, remaining] = removed;
  if (!m.element) return E_INVALIDARG;
  m.element->removeObserver(m.observer);
  if (remaining == 0) {
    scheduler_.remove(m.element.get());
    Wish wish{m.element, false, m.rate};
    wantActive(std::span<Wish>(&wish, 1));
  } else if (m.element->getIoMode() == kIoPoll) {
    scheduler_.add(m.element, remaining);
  }
  return S_OK;
}

void ClientAccess::sample(std::vector<ElementPtr> due, std::function<void()> done) {
  // One transaction per top-level branch: the branches are independent devices, so a slow
  // one delays only its own items, and the pool reads them side by side.
  std::map<std::string, RequestList> branches;
  const char delimiter = root_.getDelimiter();
  for (auto& e : due) {
    std::uint32_t handle = 0;
    {
      std::lock_guard lock(mutex_);
      handle = nextRequest_++;
    }
    if (auto r = creator_.createRequest(EnumTransactionType::Read, 0, e, 0, handle)) {
      const std::string id = e->getItemId();
      branches[id.substr(0, id.find(delimiter))].push_back(std::move(r));
    }
  }
  auto finished = std::make_shared<std::function<void()>>(std::move(done));
  auto left = std::make_shared<std::atomic<std::size_t>>(branches.size() + 1);
  auto oneDone = [finished, left] {
    if (--*left == 0) (*finished)();
  };
  for (auto& [branch, requests] : branches) {
    auto transaction = creator_.createTransaction(EnumTransactionType::Read, requests, 0);
    if (!transaction) {
      oneDone();
      continue;
    }
    auto once = std::make_shared<std::once_flag>();
    auto complete = [once, oneDone] { std::call_once(*once, oneDone); };
    transaction->setCompletion([complete](const RequestList& answered) {
      for (const auto& r : answered) {
        if (r->getResult() == S_OK && r->element()) r->element()->valueChanged(r->getValue());
      }
      complete();
    });
    const bool queued = pool_.submit(TransactionPool::Task{
        [transaction] { timedRead(*transaction); },
        [complete](long) { complete(); }});
    if (!queued) complete();
  }
  oneDone();
}

}  // namespace OpcToolbox
