#include "opctoolbox/ua/security/ua_login_guard.h"

#include <vector>

#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/security/ua_security.h"

namespace OpcToolbox::ua {

using Clock = std::chrono::steady_clock;

LoginGuard::LoginGuard(Check check, LoginLimits limits)
    : check_(std::move(check)), limits_(limits),
      thread_("ua-login", [this](std::stop_token stop) { loop(stop); }) {}

void LoginGuard::stop() {
  thread_.stopAndJoin();
  std::deque<Attempt> waiting;
  std::multimap<Clock::time_point, Done> delayed;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    waiting.swap(waiting_);
    delayed.swap(delayed_);
  }
  for (Attempt& a : waiting) a.done(kBadShutdown, Role::Reader);
  for (auto& [due, done] : delayed) done(kBadShutdown, Role::Reader);
}

void LoginGuard::submit(std::string user, std::string peer, crypto::SecretBytes password, Done done) {
  StatusCode refused = kBadTooManyOperations;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) {
      refused = kBadShutdown;
    } else if (waiting_.size() < limits_.maxWaiting && delayed_.size() < 1000) {
      waiting_.push_back(Attempt{std::move(user), std::move(peer), std::move(password), std::move(done)});
      wake_.notify_one();
      return;
    }
  }
  done(refused, Role::Reader);
}

bool LoginGuard::locked(const std::string& user, const std::string& peer, Clock::time_point now) {
  const auto u = byUser_.find(user);
  const auto p = byPeer_.find(peer);
  return (u != byUser_.end() && u->second.lockedUntil > now) || (p != byPeer_.end() && p->second.lockedUntil > now);
}

void LoginGuard::noteFailure(std::map<std::string, Failures>& table, const std::string& key, unsigned limit,
                             Clock::time_point now) {
  // Bounded: past 10000 names or addresses, those quiet for longest are forgotten.
  if (table.size() >= 10000 && table.find(key) == table.end()) {
    auto oldest = table.begin();
    for (auto it = table.begin(); it != table.end(); ++it) {
      if (it->second.last < oldest->second.last) oldest = it;
    }
    table.erase(oldest);
  }
  Failures& f = table[key];
  if (now - f.last > limits_.lockFor) f.count = 0;  // an old streak is over
  f.last = now;
  if (++f.count >= limit) {
    f.lockedUntil = now + limits_.lockFor;
    f.count = 0;
  }
}

void LoginGuard::loop(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    const auto now = Clock::now();
    std::vector<Done> due;
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
      due.push_back(std::move(delayed_.begin()->second));
      delayed_.erase(delayed_.begin());
    }
    if (!due.empty()) {
      lock.unlock();
      for (Done& d : due) d(kBadUserAccessDenied, Role::Reader);
      lock.lock();
      continue;
    }
    if (waiting_.empty()) {
      if (delayed_.empty()) {
        wake_.wait(lock, stop, [&] { return !waiting_.empty(); });
      } else {
        const auto until = delayed_.begin()->first;
        wake_.wait_until(lock, stop, until, [&] { return !waiting_.empty(); });
      }
      continue;
    }
    Attempt a = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    std::optional<Role> role;
    if (!locked(a.user, a.peer, now)) role = check_(a.user, a.password);
    a.password.wipe();
    const auto after = Clock::now();
    if (role) {
      byUser_.erase(a.user);
      a.done(kGood, *role);
    } else {
      noteFailure(byUser_, a.user, limits_.lockAfter, after);
      noteFailure(byPeer_, a.peer, limits_.lockAddressAfter, after);
    }
    lock.lock();
    if (!role) delayed_.emplace(after + limits_.failureDelay, std::move(a.done));
  }
}

}  // namespace OpcToolbox::ua
