#include "support/postgres_server.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace vexahv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The newest installed version's programs (Debian keeps each under its version).
fs::path postgresBin() {
  fs::path best;
  int bestVersion = -1;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const int version = std::atoi(e.path().filename().c_str());
    if (version > bestVersion && fs::exists(e.path() / "bin" / "initdb")) {
      best = e.path() / "bin";
      bestVersion = version;
    }
  }
  return best;
}

// Starts program with args, output to log, as user (unless null); its pid, -1 on failure.
pid_t spawnAs(const struct passwd* user, const fs::path& program, const std::vector<std::string>& args,
              const fs::path& log) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) ::_exit(126);
  if (user != nullptr &&
      (::setgroups(0, nullptr) != 0 || ::setgid(user->pw_gid) != 0 || ::setuid(user->pw_uid) != 0)) {
    ::_exit(126);
  }
  // After the change of user, which would clear it: the server goes with the test.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(126);
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

// Waits for pid to end, at most timeout; its exit status, -1 when it had to be killed.
int waitFor(pid_t pid, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(20ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string tail(const fs::path& log) {
  std::string text;
  if (FILE* f = std::fopen(log.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
  }
  return text.size() > 600 ? text.substr(text.size() - 600) : text;
}

}  // namespace

std::unique_ptr<PostgresServer> PostgresServer::start(std::string& why) {
  const fs::path bin = postgresBin();
  if (bin.empty()) {
    why = "PostgreSQL is not installed here (no /usr/lib/postgresql/*/bin/initdb); scripts/setup installs it";
    return nullptr;
  }
  const struct passwd* user = nullptr;
  if (::geteuid() == 0 && (user = ::getpwnam("postgres")) == nullptr) {
    why = "running as root, and there is no postgres user to run PostgreSQL as";
    return nullptr;
  }
  std::string pattern = (fs::temp_directory_path() / "vexahv-pg-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    why = "cannot make a temporary folder";
    return nullptr;
  }
  const fs::path dir = pattern;
  const fs::path data = dir / "data", log = dir / "server.log";
  std::error_code ec;
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, ec);
  if (user != nullptr && (::chown(dir.c_str(), user->pw_uid, user->pw_gid) != 0)) {
    why = "cannot give the temporary folder to the postgres user";
    fs::remove_all(dir, ec);
    return nullptr;
  }
  const pid_t init = spawnAs(user, bin / "initdb",
                             {"-D", data.string(), "-U", "vexahv", "-A", "trust", "-E", "UTF8", "--locale=C", "-N"}, log);
  if (init < 0 || waitFor(init, 120s) != 0) {
    why = "initdb failed: " + tail(log);
    fs::remove_all(dir, ec);
    return nullptr;
  }
  const pid_t pid = spawnAs(user, bin / "postgres",
                            {"-D", data.string(), "-k", dir.string(), "-c", "listen_addresses=", "-c", "fsync=off",
                             "-c", "full_page_writes=off", "-c", "max_connections=40", "-c", "shared_buffers=32MB"},
                            log);
  std::unique_ptr<PostgresServer> server(new PostgresServer(dir, pid));
  if (pid < 0) {
    why = "cannot start postgres";
    return nullptr;
  }
  const std::string info = server->conninfo("postgres");
  for (auto until = std::chrono::steady_clock::now() + 60s; PQping(info.c_str()) != PQPING_OK;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid || std::chrono::steady_clock::now() > until) {
      server->pid_ = -1;  // gone, or to be killed below
      if (::kill(pid, 0) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
      }
      why = "postgres did not start: " + tail(log);
      return nullptr;
    }
    std::this_thread::sleep_for(50ms);
  }
  return server;
}

PostgresServer::~PostgresServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGINT);  // fast shutdown: clients are cut off, nothing is written
    waitFor(pid_, 30s);
  }
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::string PostgresServer::conninfo(const std::string& database) const {
  return "host=" + dir_.string() + " user=vexahv dbname=" + database;
}

std::string PostgresServer::createDatabase(const std::string& name, std::string& why) {
  why = execute("postgres", "CREATE DATABASE " + name);
  return why.empty() ? conninfo(name) : std::string();
}

std::string PostgresServer::execute(const std::string& database, const std::string& sql) {
  PGconn* c = PQconnectdb(conninfo(database).c_str());
  std::string error;
  if (PQstatus(c) == CONNECTION_OK) {
    PGresult* r = PQexec(c, sql.c_str());
    const ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) error = PQresultErrorMessage(r);
    PQclear(r);
  } else {
    error = PQerrorMessage(c);
  }
  PQfinish(c);
  return error.empty() || error.back() != '\n' ? error : error.substr(0, error.size() - 1);
}

}  // namespace vexahv::test
