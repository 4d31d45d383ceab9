// vexahv-config: the configuration tool of the HV OPC server. Lists, adds and removes the
// mainframes the server serves and shows its status, through the server's automation
// interface on D-Bus; when the server does not run, list, add and remove work on the
// stored systems list directly (the same store and lock the server uses) and say so.
//
// Exit codes: 0 done, 1 refused (a bad entry or index, or the server said no), 2 the
// server is not reachable (status only: the other commands fall back to the store).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "config/system_entries.h"
#include "config/system_entry.h"
#include "config_client.h"
#include "platform/registry.h"

namespace {

using vexahv::tool::Bus;
using vexahv::tool::ConfigClient;
using Outcome = ConfigClient::Outcome;

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kNotReachable = 2;

const char* kUsage =
    "usage: vexahv-config [--system | --session] [--json] COMMAND\n"
    "       vexahv-config --help | --version\n"
    "\n"
    "  list                 the configured mainframes: index, fields, connection status\n"
    "  add \"NAME,TYPE,LINK,ADDRESS[:USER:PASSWORD]\"\n"
    "                       appends a mainframe; the server serves it from its next start\n"
    "  add -                the same, the entry read from the first line of standard input\n"
    "                       (a password on the command line is visible to every local user)\n"
    "  remove INDEX         removes the mainframe of that index (as list shows it)\n"
    "  status               release, activity, clients, systems and each system's status\n"
    "\n"
    "  TYPE is the system type index 0 to 5, LINK 0 for TCP/IP (ADDRESS is then an IPv4\n"
    "  address with an optional user and password). The bus is the session bus when\n"
    "  DBUS_SESSION_BUS_ADDRESS is set, else the system bus (the server run as a service).\n"
    "  When the server does not run, list, add and remove work on the stored list itself.\n"
    "\n"
    "  exit codes: 0 done, 1 refused, 2 the server is not reachable\n";

std::string json(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned char>(c));
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

const char* statusName(std::int32_t hr, std::int16_t status) {
  if (hr != 0) return "not built";  // added since the server started, or never built
  return status == 0 ? "pending" : status == 1 ? "connected" : "not connected";
}

// The type index as written in the entry's second field.
std::string typeField(const std::string& entry) {
  const std::size_t a = entry.find(',');
  if (a == std::string::npos) return "";
  std::size_t b = a;
  while (b < entry.size() && entry[b] == ',') ++b;
  return entry.substr(b, entry.find(',', b) - b);
}

struct Tool {
  bool jsonOutput = false;
  ConfigClient client;
  bool online = false;
  std::string offlineWhy;

  void connect(Bus bus) {
    std::string why;
    if (client.connect(bus, why) != Outcome::Answered) {
      offlineWhy = why;
      return;
    }
    std::int32_t hr = 0;
    std::int16_t active = 0;
    const Outcome o = client.getServerActivity(hr, active);
    online = o == Outcome::Answered || o == Outcome::Denied;
    if (!online) offlineWhy = client.lastError();
  }

  // The stored list holds the mainframes' passwords, so only root and the service's user
  // may read it: anyone else is told so rather than shown an empty list.
  static bool storedListReadable() {
    const std::filesystem::path hive =
        vexahv::platform::Registry::forProcess().hiveFile(vexahv::platform::Hive::CurrentUser);
    std::error_code ec;
    if (!std::filesystem::exists(hive, ec) || std::ifstream(hive).is_open()) return true;
    std::fprintf(stderr,
                 "vexahv-config: the server is not reachable, and its stored list [%s] is not readable by this user "
                 "(it holds the mainframes' passwords): run as root or as the service's user\n",
                 hive.c_str());
    return false;
  }

  void sayOffline(const char* what) const {
    if (jsonOutput) return;
    std::fprintf(stderr, "vexahv-config: the server is not reachable (%s); %s\n", offlineWhy.c_str(), what);
  }

  int list() {
    std::vector<std::string> entries;
    std::vector<std::string> statuses;
    if (online) {
      for (std::uint32_t i = 0;; ++i) {
        std::int32_t hr = 0;
        std::string entry;
        if (client.getEntry(i, hr, entry) != Outcome::Answered) return failed();
        if (hr != 0) break;
        std::int16_t status = 0;
        std::int32_t statusHr = 0;
        if (client.getConnectionStatus(i, statusHr, status) != Outcome::Answered) return failed();
        entries.push_back(entry);
        statuses.push_back(statusName(statusHr, status));
      }
    } else {
      if (!storedListReadable()) return kRefused;
      sayOffline("the stored list is shown");
      entries = vexahv::readSystemEntries();
      statuses.assign(entries.size(), "server not running");
    }
    if (jsonOutput) {
      std::printf("{\"server\":%s,\"systems\":[", online ? "true" : "false");
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const vexahv::SystemEntry e = vexahv::parseSystemEntry(entries[i]);
        std::printf("%s{\"index\":%zu,\"entry\":%s,\"name\":%s,\"type\":%s,\"link\":%d,\"address\":%s,\"user\":%s,"
                    "\"status\":%s}",
                    i ? "," : "", i, json(vexahv::maskSystemEntry(entries[i])).c_str(), json(e.name).c_str(), json(typeField(entries[i])).c_str(),
                    e.linkType, json(e.address).c_str(), json(e.userName).c_str(), json(statuses[i]).c_str());
      }
      std::printf("]}\n");
      return kDone;
    }
    std::printf("%-5s  %-16s %-4s %-4s %-24s %-12s %s\n", "index", "name", "type", "link", "address", "user", "status");
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const vexahv::SystemEntry e = vexahv::parseSystemEntry(entries[i]);
      std::printf("%-5zu  %-16s %-4s %-4d %-24s %-12s %s\n", i, e.name.c_str(), typeField(entries[i]).c_str(), e.linkType,
                  e.address.c_str(), e.userName.c_str(), statuses[i].c_str());
    }
    if (entries.empty()) std::printf("(no mainframe configured)\n");
    return kDone;
  }

  int add(const std::string& entry) {
    // What the tool shows of it: never the password.
    const std::string shown = vexahv::maskSystemEntry(entry);
    // Checked here with the server's own rules, before anything is sent or stored.
    if (const std::string wrong = vexahv::checkSystemEntry(entry); !wrong.empty()) {
      std::fprintf(stderr, "vexahv-config: entry [%s] refused: %s\n", shown.c_str(), wrong.c_str());
      return kRefused;
    }
    if (online) {
      std::int32_t hr = 0;
      if (client.putEntry(entry, hr) != Outcome::Answered) return failed();
      if (hr != 0) {
        std::fprintf(stderr, "vexahv-config: the server refused entry [%s] (see its log)\n", shown.c_str());
        return kRefused;
      }
      std::printf("added [%s]; the server serves it from its next start\n", shown.c_str());
      return kDone;
    }
    sayOffline("the entry goes into the stored list");
    std::uint32_t count = static_cast<std::uint32_t>(vexahv::readSystemEntries().size());
    const std::uint32_t before = count;
    vexahv::addSystemEntry(entry, count);
    if (count == before) {
      std::fprintf(stderr, "vexahv-config: the stored list could not be written\n");
      return kRefused;
    }
    std::printf("added [%s] to the stored list (the server does not run)\n", shown.c_str());
    return kDone;
  }

  int remove(const std::string& text) {
    char* end = nullptr;
    const unsigned long index = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || index > 0xFFFFFFFFul) {
      std::fprintf(stderr, "vexahv-config: [%s] is not an index\n", text.c_str());
      return kRefused;
    }
    if (online) {
      std::int32_t hr = 0;
      if (client.removeEntry(static_cast<std::uint32_t>(index), hr) != Outcome::Answered) return failed();
      if (hr != 0) {
        std::fprintf(stderr, "vexahv-config: the server refused to remove entry [%lu] (no such entry)\n", index);
        return kRefused;
      }
      std::printf("removed entry [%lu]; the server keeps serving it until its next start\n", index);
      return kDone;
    }
    sayOffline("the entry is removed from the stored list");
    std::uint32_t count = static_cast<std::uint32_t>(vexahv::readSystemEntries().size());
    const std::uint32_t before = count;
    if (index >= count) {
      std::fprintf(stderr, "vexahv-config: no entry [%lu]: the stored list holds %u\n", index, count);
      return kRefused;
    }
    vexahv::removeSystemEntry(static_cast<std::uint32_t>(index), count);
    if (count == before) {
      std::fprintf(stderr, "vexahv-config: the stored list could not be written\n");
      return kRefused;
    }
    std::printf("removed entry [%lu] from the stored list (the server does not run)\n", index);
    return kDone;
  }

  int status() {
    if (!online) {
      std::fprintf(stderr, "vexahv-config: the server is not reachable (%s)\n", offlineWhy.c_str());
      return kNotReachable;
    }
    std::int32_t hr = 0;
    std::string release;
    std::int16_t active = 0;
    std::int32_t clients = 0;
    std::uint32_t systems = 0;
    if (client.getRelease(hr, release) != Outcome::Answered || client.getServerActivity(hr, active) != Outcome::Answered ||
        client.getClients(hr, clients) != Outcome::Answered || client.getPowerSupplies(hr, systems) != Outcome::Answered) {
      return failed();
    }
    std::vector<std::string> names;
    std::vector<std::string> statuses;
    for (std::uint32_t i = 0; i < systems; ++i) {
      std::string entry;
      std::int32_t entryHr = 0;
      std::int32_t statusHr = 0;
      std::int16_t status = 0;
      if (client.getEntry(i, entryHr, entry) != Outcome::Answered ||
          client.getConnectionStatus(i, statusHr, status) != Outcome::Answered) {
        return failed();
      }
      names.push_back(entryHr == 0 ? vexahv::parseSystemEntry(entry).name : "");
      statuses.push_back(statusName(statusHr, status));
    }
    if (jsonOutput) {
      std::printf("{\"release\":%s,\"active\":%s,\"clients\":%d,\"systems\":%u,\"status\":[", json(release).c_str(),
                  active ? "true" : "false", clients, systems);
      for (std::size_t i = 0; i < names.size(); ++i) {
        std::printf("%s{\"index\":%zu,\"name\":%s,\"status\":%s}", i ? "," : "", i, json(names[i]).c_str(),
                    json(statuses[i]).c_str());
      }
      std::printf("]}\n");
      return kDone;
    }
    std::printf("release  %s\nactive   %s\nclients  %d\nsystems  %u\n", release.c_str(), active ? "yes" : "no", clients,
                systems);
    for (std::size_t i = 0; i < names.size(); ++i) std::printf("  %-5zu %-16s %s\n", i, names[i].c_str(), statuses[i].c_str());
    return kDone;
  }

  int failed() const {
    if (client.lastDenied()) {
      std::fprintf(stderr, "vexahv-config: refused by the bus policy (changes are root's): %s\n",
                   client.lastError().c_str());
      return kRefused;
    }
    std::fprintf(stderr, "vexahv-config: the server did not answer: %s\n", client.lastError().c_str());
    return kNotReachable;
  }
};

}  // namespace

int main(int argc, char** argv) {
  Tool tool;
  const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  Bus bus = session != nullptr && *session != '\0' ? Bus::Session : Bus::System;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return kDone;
    }
    if (a == "--version") {
      std::printf("vexahv-config %s\n", VEXAHV_VERSION);
      return kDone;
    }
    if (a == "--json") tool.jsonOutput = true;
    else if (a == "--system") bus = Bus::System;
    else if (a == "--session") bus = Bus::Session;
    else if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "vexahv-config: unknown option [%s]\n%s", a.c_str(), kUsage);
      return kRefused;
    } else {
      words.push_back(a);
    }
  }
  const std::size_t arguments = words.empty() ? 0 : words.size() - 1;
  const std::string command = words.empty() ? "" : words[0];
  const bool known = (command == "list" && arguments == 0) || (command == "status" && arguments == 0) ||
                     (command == "add" && arguments == 1) || (command == "remove" && arguments == 1);
  if (!known) {
    std::fprintf(stderr, "vexahv-config: %s\n%s", command.empty() ? "no command" : "unknown command or arguments",
                 kUsage);
    return kRefused;
  }
  tool.connect(bus);
  if (command == "list") return tool.list();
  if (command == "status") return tool.status();
  if (command == "add" && words[1] == "-") {
    // Bounded: an entry holds fewer than 80 characters; a longer line is refused whole.
    std::string entry;
    for (int c = std::getchar(); c != EOF && c != '\n' && entry.size() <= vexahv::kSystemEntryBuffer;
         c = std::getchar()) {
      entry.push_back(static_cast<char>(c));
    }
    if (!entry.empty() && entry.back() == '\r') entry.pop_back();
    return tool.add(entry);
  }
  if (command == "add") return tool.add(words[1]);
  return tool.remove(words[1]);
}
