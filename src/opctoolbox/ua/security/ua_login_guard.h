#pragma once
// Password checks off the network thread, and paced: a slow salted hash per attempt, one
// attempt at a time, every failure answered only after a delay, and a user name or a client
// address that keeps failing locked out for a while (its attempts fail without a check).
// So a password cannot be guessed at wire speed, and a guesser delays only other logins.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "opctoolbox/access_role.h"
#include "opctoolbox/ua/crypto/ua_crypto.h"
#include "opctoolbox/ua/encoding/ua_types.h"
#include "platform/worker_thread.h"

namespace OpcToolbox::ua {

struct LoginLimits {
  std::size_t maxWaiting = 32;                    // attempts queued; past it one is refused at once
  std::chrono::milliseconds failureDelay{1000};   // before a failure is answered
  unsigned lockAfter = 5;                         // consecutive failures of one user name
  unsigned lockAddressAfter = 20;                 // failures of one client address
  std::chrono::milliseconds lockFor{60000};
};

class LoginGuard {
 public:
  using Check = std::function<std::optional<Role>(const std::string& user, const crypto::SecretBytes& password)>;
  // Good with the role; BadUserAccessDenied (a wrong password, an unknown user, a lock-out),
  // BadTooManyOperations (too many waiting), BadShutdown (stopping). Called on the guard's thread.
  using Done = std::function<void(StatusCode, Role)>;

  LoginGuard(Check check, LoginLimits limits = {});
  ~LoginGuard() { stop(); }
  // Ends the thread and answers what waits with BadShutdown; later attempts get it at once.
  void stop();

  void submit(std::string user, std::string peer, crypto::SecretBytes password, Done done);

 private:
  struct Attempt {
    std::string user, peer;
    crypto::SecretBytes password;
    Done done;
  };
  struct Failures {
    unsigned count = 0;
    std::chrono::steady_clock::time_point lockedUntil{}, last{};
  };
  void loop(std::stop_token stop);
  bool locked(const std::string& user, const std::string& peer, std::chrono::steady_clock::time_point now);
  void noteFailure(std::map<std::string, Failures>& table, const std::string& key, unsigned limit,
                   std::chrono::steady_clock::time_point now);

  const Check check_;
  const LoginLimits limits_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<Attempt> waiting_;
  std::multimap<std::chrono::steady_clock::time_point, Done> delayed_;  // failures due to be answered
  std::map<std::string, Failures> byUser_, byPeer_;                    // the guard's thread only
  bool stopped_ = false;
  vexahv::platform::WorkerThread thread_;  // last: stopped before the rest goes
};

}  // namespace OpcToolbox::ua
