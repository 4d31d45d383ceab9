#include "core/server_process.h"

#include <cstdio>
#include <filesystem>
#include <future>
#include <new>

#include "addressspace/channel_groups.h"
#include "addressspace/hardware_alarms.h"
#include "addressspace/history_policy.h"
#include "history/history_service.h"
#include "history/postgres_history_store.h"
#include "history/sqlite_history_store.h"
#include "requests/group_methods.h"
#include "addressspace/vexahv_opc_server.h"
#include "config/configuration_file.h"
#include "config/server_globals.h"
#include "core/server_figures.h"
#include "core/vexahv_creator.h"
#include "opctoolbox/ua/discovery/ua_discovery_registration.h"
#include "opctoolbox/ua/endpoint/ua_endpoint.h"
#include "opctoolbox/ua/settings/ua_endpoint_settings.h"
#include "opctoolbox/ua/security/ua_login_guard.h"
#include "opctoolbox/ua/settings/ua_security_files.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "platform/host_names.h"
#include "platform/platform_root.h"
#include "platform/process_identity.h"
#include "platform/socket_activation.h"
#include "requests/vexahv_session.h"
#include "service/service_module.h"
#include "logging/logging.h"

namespace vexahv {

namespace globals = VEXAHVServerGlobals;

namespace {

void releaseServer() {
  if (VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) {
    server->terminate();
    VEXAHVOPCServer::destroy();
  }
}
}  // namespace

std::string joinCommandLine(int argc, char** argv, int first) {
  std::string line;
  for (int i = first; i < argc; ++i) {
    if (i > first) line += ' ';
    line += argv[i];
  }
  return line;
}

platform::ServiceDefinition serviceDefinition() {
  platform::ServiceDefinition d;
  d.name = kServiceName;
  d.displayName = kServiceName;
  d.executable = platform::executablePath();
  d.platformRoot = platform::platformRoot();
  d.workingDirectory = d.platformRoot;
  // The package's user where the machine has it; a source build without it runs as root.
  d.user = platform::serviceUserOfMachine();
  // A bad settings file is reported when the server starts; the socket unit takes the
  // defaults then.
  OpcToolbox::ua::EndpointOptions endpoint;
  if (OpcToolbox::ua::readEndpointSettings(d.platformRoot / kEndpointSettingsFile, endpoint).empty() &&
      OpcToolbox::ua::EndpointOptions::fromEnvironment(endpoint).empty()) {
    d.listenHost = endpoint.host;
    d.listenPort = endpoint.port;
  }
  return d;
}

std::string VEXAHVServerProcess::statusLine() const {
  if (!ready_.load()) return "Building the address space";
  std::size_t systems = 0;
  std::size_t connected = 0;
  if (VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) {
    if (SystemList* list = server->getSystemList()) {
      for (const VEXAHVElementPtr& node : list->snapshot()) {
        ++systems;
        if (node->getConnectionStatus() == kStatusOk) ++connected;
      }
    }
  }
  return "Serving " + std::to_string(systems) + (systems == 1 ? " system (" : " systems (") +
         std::to_string(connected) + " connected), " + std::to_string(VEXAHVSession::clientCount()) +
         (VEXAHVSession::clientCount() == 1 ? " client" : " clients");
}

VEXAHVServerProcess::VEXAHVServerProcess(std::function<void()> onFatal) : onFatal_(std::move(onFatal)) {}

VEXAHVServerProcess::~VEXAHVServerProcess() { stop(); }

int VEXAHVServerProcess::startUp(const std::string& commandLine) {
  const std::error_code configError =
      readConfigurationFile(globals::eventEnabled, globals::liveInsertRemoval, globals::verifyTime,
                            globals::logLevel, globals::useBatchedGroupTransactions, &globals::plant);
  if (configError) {
    std::error_code cwdError;
    const std::filesystem::path file = std::filesystem::current_path(cwdError) / kConfigurationFileName;
    std::fprintf(stderr, "vexahv-opcserver: cannot read configuration file %s: %s; running with the default settings\n",
                 file.c_str(), configError.message().c_str());
  }
  startLogging(globals::logLevel);
  if (configError) {
    logWarning("Cannot read configuration file [", kConfigurationFileName, "]: ", configError.message(),
               "; running with the default settings");
  }
  VEXAHVOPCServer::create();
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  if (server == nullptr) {
    logEmergency("Some error occurred in OPCServer prepare routine: terminating OPCServer");
    fail("the server object could not be created");
    return 1;
  }
  logDebug("-----------------------------------------");
  logDebug("VEXAHVOPCServer successfully created");
  server->setServiceName(kServiceName);
  server->setApplicationIdentity();
  logDebug("VEXAHVOPCServer initialized");

  std::unique_ptr<VEXAHVCreator> creator(new (std::nothrow) VEXAHVCreator());
  if (!creator || server->initialize(std::move(creator)) < 0) {
    logEmergency("Some error occurred in OPCServer prepare routine: terminating OPCServer");
    fail("the OPC toolbox could not be initialised");
    releaseServer();
    return 1;
  }

  const long run = server->processCommandLine(commandLine);
  if (run != 0) {
    const bool ok = run == 1;
    registrationOk_ = ok;
    logNotice(ok ? "VEXAHVOPCServer registration operation successful" : "VEXAHVOPCServer registration operation failed");
    server->trace(2, 0x80000000u, "c_tWinMain", ok ? "Registration succeeded" : "Registration failed");
    logDebug("Terminate VEXAHVOPCServer");
    releaseServer();
    return 0;
  }

  // A bad endpoint setting is known before anything starts: nothing would be served. The
  // environment (port, host) overrides the settings file.
  std::string bad = OpcToolbox::ua::readEndpointSettings(platform::platformRoot() / kEndpointSettingsFile,
                                                         endpointOptions_);
  if (bad.empty()) bad = OpcToolbox::ua::EndpointOptions::fromEnvironment(endpointOptions_);

  if (!bad.empty()) {
    fail("OPC UA endpoint settings: " + bad + "; no OPC UA endpoint");
    releaseServer();
    return 0;
  }
  // Security fails closed: rather no endpoint than one weaker than the operator asked for.
  const auto securityLog = [](OpcToolbox::ua::SecurityLogLevel level, const std::string& text) {
    using Level = OpcToolbox::ua::SecurityLogLevel;
    if (level == Level::Error) logError("OPC UA security: ", text);
    else if (level == Level::Warning) logWarning("OPC UA security: ", text);
    else logNotice("OPC UA security: ", text);
  };
  // The audit lines: Notice for what was done, Warning for what was turned away.
  endpointOptions_.audit.write = [](bool refused, const std::string& text) {
    if (refused) logWarning("OPC UA audit: ", text);
    else logNotice("OPC UA audit: ", text);
  };
  endpointOptions_.audit.enabled = [](bool refused) {
    return logEnabled(refused ? Severity::Warning : Severity::Notice);
  };
  if (const std::string insecure = OpcToolbox::ua::loadSecurityConfiguration(
          platform::platformRoot(), OpcToolbox::ua::serverIdentity(*OpcToolbox::getApp()), securityLog,
          endpointOptions_.security);
      !insecure.empty()) {
    fail("OPC UA security settings: " + insecure + "; no OPC UA endpoint");
    releaseServer();
    return 0;
  }
  // The alarms' severities hold before the first report.
  if (const std::string wrong = loadAlarmSeverities(platform::platformRoot() / kAlarmsFile); !wrong.empty()) {
    fail("Alarm severities: " + wrong);
    releaseServer();
    return 0;
  }
  if (const std::string wrong = loadChannelGroups(platform::platformRoot() / kGroupsFile); !wrong.empty()) {
    fail("Channel groups: " + wrong);
    releaseServer();
    return 0;
  }

  openHistory();

  // The TCP event server listens, and the UDP events port is bound, before anything is
  // built, so that each port is final when the first subscription names it.
  events_ = std::make_unique<events::EventMechanism>(events::EventTimings::fromEnvironment());
  events_->startTcpServer();
  events_->openUdpPort();
  if (VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) {
    server->setKeepAliveStarter([this](const VEXAHVElementPtr& node) { events_->keepAlive().startKeepAlive(node); });
    VEXAHVOPCServer::BuildOptions options = VEXAHVOPCServer::buildOptionsFromEnvironment();
    options.shareChannelReads = globals::plant.shareChannelReads;
    server->setBuildOptions(options);
  }

  // Taken before any thread starts, so that no child process could inherit them.
  passedListeners_ = platform::takeListeningSockets();
  if (passedListeners_.size() > 1) {
    logWarning("The service manager passed [", passedListeners_.size(), "] listening sockets; the first is served");
  }

  logDebug("Starting VEXAHVOPCServer");
  try {
    startup_ = std::make_unique<platform::WorkerThread>("vexahv-startup",
                                                        [this](std::stop_token stop) { startupThread(stop); });
  } catch (const std::exception& e) {
    logEmergency("Failed starting VEXAHVOPCServer");
    // Without it nothing would ever listen or be built.
    fail(std::string("the start-up thread could not be created: ") + e.what());
  }
  serving_ = true;
  return 0;
}

void VEXAHVServerProcess::startupThread(std::stop_token stop) {
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  if (server == nullptr) {
    logAlert("VEXAHVOPCServer not found");
    fail("the server object is missing");
    return;
  }
  if (server->start() < 0) {
    logAlert("VEXAHVOPCServer not started");
    fail("the OPC toolbox did not start");
    return;
  }
  // The alarm types clients filter by exist before the first client does.
  declareAlarmTypes(OpcToolbox::getApp()->conditions());
  OpcToolbox::getApp()->setFolderMethods(&groupMethods());
  // Clients reach the toolbox through its OPC UA endpoint; it reports Suspended until ready.
  endpoint_ = std::make_unique<OpcToolbox::ua::UaEndpoint>(*OpcToolbox::getApp(), endpointOptions_);
  platform::UniqueFd passed;
  if (!passedListeners_.empty()) passed = std::move(passedListeners_.front());
  passedListeners_.clear();
  if (const std::error_code ec = endpoint_->start(std::move(passed))) {
    logAlert("VEXAHVOPCServer not started");
    endpoint_.reset();
    fail("OPC UA endpoint cannot listen on [" + endpointOptions_.host + ":" +
         std::to_string(endpointOptions_.port) + "]: " + ec.message());
    return;
  }
  logNotice("OPC UA endpoint listening on [", endpoint_->url(), "]");
  std::printf("vexahv-opcserver: listening on %s\n", endpoint_->url().c_str());
  std::fflush(stdout);
  startHttpEndpoint();

  if (server->buildAddressSpace(stop) != 0 && stop.stop_requested()) {
    // Neither built nor ready: the stop sequence follows at once.
    logNotice("VEXAHVOPCServer stopped while building the address space");
    return;
  }
  server->addressSpaceBuilt().set();
  logDebug("VEXAHVOPCServer namespace built");
  server->ready();
  logDebug("VEXAHVOPCServer ready for clients to connect");
  ready_.store(true);
  if (onReady_) onReady_();
  startDiscoveryRegistration();
  if (server->getSystemList() == nullptr) {
    logError("VEXAHVOPCServer configuration not found");
    return;
  }
  events_->startEvents(stop);
}

namespace {

// The OPC UA users' passwords, checked as slowly and paced as for a session (a guard of its
// own: a guesser over HTTP delays no OPC UA login). None without users.
http::PasswordCheck httpPasswordCheck(std::shared_ptr<const OpcToolbox::ua::SecurityConfiguration> security) {
  if (!security) return {};
  auto guard = std::make_shared<OpcToolbox::ua::LoginGuard>(
      [security](const std::string& user, const OpcToolbox::ua::crypto::SecretBytes& password) {
        return security->checkPassword(user, password);
      });
  return [guard](const std::string& user, const std::string& password, const std::string& peer) {
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> signedIn = answer->get_future();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(password.data());
    guard->submit(user, peer, OpcToolbox::ua::crypto::SecretBytes({bytes, password.size()}),
                  [answer](OpcToolbox::ua::StatusCode rc, OpcToolbox::Role) { answer->set_value(rc == 0); });
    // The guard answers within its pace; a request waits no longer than its own time-out.
    return signedIn.wait_for(std::chrono::seconds(5)) == std::future_status::ready && signedIn.get();
  };
}

}  // namespace

void VEXAHVServerProcess::startDiscoveryRegistration() {
  if (endpointOptions_.discoveryServerUrl.empty() || !endpoint_) return;
  using OpcToolbox::ua::DiscoveryRegistrationOptions;
  DiscoveryRegistrationOptions o;
  o.discoveryUrl = endpointOptions_.discoveryServerUrl;
  o.period = endpointOptions_.discoveryRegisterInterval;
  o.retry = endpointOptions_.discoveryRetryInterval;
  const OpcToolbox::ua::ServerIdentity identity = OpcToolbox::ua::serverIdentity(*OpcToolbox::getApp());
  o.server.serverUri = identity.applicationUri;
  o.server.productUri = identity.productUri;
  o.server.serverName = identity.applicationName;
  o.server.mdnsServerName = identity.applicationName;
  // Where other hosts reach it: by this host's name when it listens on every address.
  const std::string host = endpointOptions_.host == "0.0.0.0" ? platform::hostNames().front() : endpointOptions_.host;
  o.server.discoveryUrls = {"opc.tcp://" + host + ":" + std::to_string(endpoint_->port())};
  // Part 12's capability identifiers: live data and alarms always, history when kept.
  o.server.capabilities = {"DA", "AC"};
  if (history_) o.server.capabilities.insert(o.server.capabilities.end(), {"HD", "HE"});
  if (endpointOptions_.security) {
    o.credentials = endpointOptions_.security->credentials();
    o.verifier = endpointOptions_.security->verifier();
  }
  o.log = [](DiscoveryRegistrationOptions::Level level, const std::string& text) {
    if (level == DiscoveryRegistrationOptions::Level::Warning) logWarning(text);
    else if (level == DiscoveryRegistrationOptions::Level::Notice) logNotice(text);
    else logInformational(text);
  };
  discovery_ = std::make_unique<OpcToolbox::ua::DiscoveryRegistration>(std::move(o));
  discovery_->start();
}

void VEXAHVServerProcess::startHttpEndpoint() {
  http::HttpSettings settings;
  if (const std::string bad = http::readHttpSettings(platform::platformRoot() / http::kHttpSettingsFile, settings);
      !bad.empty()) {
    logError("HTTP endpoint not started: ", bad);
    return;
  }
  if (!settings.enabled) return;
  auto endpoint = std::make_unique<http::HttpEndpoint>();
  if (const std::string why = endpoint->start(settings, [this] { return collectServerFigures(endpoint_.get(), events_ ? &events_->udp() : nullptr); },
                                              VEXAHV_VERSION, httpPasswordCheck(endpointOptions_.security));
      !why.empty()) {
    logError("HTTP endpoint not started: ", why);
    return;
  }
  logNotice("HTTP endpoint serving [", settings.tls() ? "https" : "http", "://", settings.host, ":", endpoint->port(),
            "/metrics]");
  http_ = std::move(endpoint);
}

void VEXAHVServerProcess::fail(const std::string& reason) {
  logEmergency(reason, "; the server cannot serve and stops");
  std::fprintf(stderr, "vexahv-opcserver: %s; the server cannot serve and stops\n", reason.c_str());
  std::fflush(stderr);
  exitCode_.store(1);
  if (onFatal_) onFatal_();
}

void VEXAHVServerProcess::stop() {
  // The build ends at its next library call (each has a time-out) before anything it uses
  // is torn down.
  if (startup_) startup_->stopAndJoin();
  startup_.reset();
  // Off the discovery server's list while the endpoint still answers.
  discovery_.reset();
  // Its requests read the server object: they are over before anything of it goes.
  http_.reset();
  // Every supervision and event thread is ended (stopped and joined, never killed) before
  // the server object they use goes.
  if (events_) events_->stop();
  if (!serving_ && VEXAHVOPCServer::getInstance() == nullptr) {
    history_.reset();
    return;
  }
  serving_ = false;
  logDebug("Stopping VEXAHVOPCServer");
  // The toolbox's stop reports Shutdown, closes the endpoint and its sessions, and ends
  // outstanding transactions; only then is the application released.
  if (VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) server->stop();
  if (endpoint_) endpoint_->stop();
  // Nothing is recorded while the address space is taken down; what was is committed.
  OpcToolbox::getApp()->setHistory(nullptr);
  releaseServer();
  endpoint_.reset();
  events_.reset();
  history_.reset();
}

void VEXAHVServerProcess::openHistory() {
  if (!globals::plant.history) {
    logNotice("History is not kept (History = false)");
    return;
  }
  const PlantSettings& plant = globals::plant;
  // What is kept of which parameter, before any crate is built; a refused file leaves the
  // defaults.
  if (std::string error = loadHistoryPolicy(platform::platformRoot() / kHistoryPolicyFile); !error.empty()) {
    logError("History settings: ", error);
  }
  history::StoreStatus status;
  std::unique_ptr<history::HistoryStore> store;
  std::string where;
  if (plant.historyDatabase.empty()) {
    const auto file = platform::platformRoot() / history::kHistoryFile;
    store = history::SqliteHistoryStore::open(file, status);
    where = file.string();
  } else {
    const std::vector<std::string> names = platform::hostNames();
    const std::string source = !plant.historySource.empty() ? plant.historySource
                               : names.empty()             ? std::string("localhost")
                                                           : names.front();
    store = history::PostgresHistoryStore::open(plant.historyDatabase, source, status);
    where = "PostgreSQL, as " + source;  // not the connection string: it may hold a password
  }
  if (!store) {
    // The server serves on without it.
    logError("History is not kept: ", status.message);
    return;
  }
  history::HistoryService::Settings settings;
  settings.limits.maxAge = std::chrono::hours(24 * plant.historyDays);
  // A site's database is the site's to size; a table there does not shrink as rows go.
  settings.limits.maxBytes = plant.historyDatabase.empty() ? static_cast<std::uint64_t>(plant.historyMaxMiB) << 20 : 0;
  history_ = std::make_unique<history::HistoryService>(std::move(store), settings);
  OpcToolbox::getApp()->setHistory(history_.get());
  if (plant.historyDatabase.empty()) {
    logNotice("History is kept in [", where, "] for [", plant.historyDays, "] days, at most [", plant.historyMaxMiB,
              "] MiB");
  } else {
    logNotice("History is kept in [", where, "] for [", plant.historyDays, "] days");
  }
}

}  // namespace vexahv
