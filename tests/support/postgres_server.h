#pragma once
// A PostgreSQL server of a test's own: made by initdb in a temporary folder of its own,
// listening on a Unix socket there and nowhere else, stopped and removed with this
// object (and stopped by the kernel should the test die first). Run as root, it runs as
// the postgres user, since PostgreSQL refuses root.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

namespace vexahv::test {

class PostgresServer {
 public:
  // Null with the reason in why when the machine lacks PostgreSQL or it does not start.
  static std::unique_ptr<PostgresServer> start(std::string& why);
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // Makes a new, empty database; its connection string, empty with the reason in why.
  std::string createDatabase(const std::string& name, std::string& why);
  std::string conninfo(const std::string& database) const;
  // Runs sql in database as its owner; empty, or what went wrong.
  std::string execute(const std::string& database, const std::string& sql);

 private:
  PostgresServer(std::filesystem::path dir, pid_t pid) : dir_(std::move(dir)), pid_(pid) {}
  std::filesystem::path dir_;  // the socket is here, the data below
  pid_t pid_;
};

}  // namespace vexahv::test
