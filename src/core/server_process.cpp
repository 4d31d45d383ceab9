#include "core/server_process.h"

#include <cstdio>
#include <new>

#include "addressspace/vexahv_opc_server.h"
#include "config/configuration_file.h"
#include "config/server_globals.h"
#include "core/vexahv_creator.h"
#include "opctoolbox/ua/ua_endpoint.h"
#include "service/logging.h"

namespace vexahv {

namespace globals = VEXAHVServerGlobals;

namespace {
constexpr const char* kServiceName = "VEXAHVOPCServerModule";

void releaseServer() {
  if (VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) {
    server->terminate();
    VEXAHVOPCServer::destroy();
  }
}
}  // namespace

std::string joinCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    line += argv[i];
  }
  return line;
}

VEXAHVServerProcess::VEXAHVServerProcess() = default;

VEXAHVServerProcess::~VEXAHVServerProcess() { stop(); }

int VEXAHVServerProcess::startUp(const std::string& commandLine) {
  readConfigurationFile(globals::eventEnabled, globals::liveInsertRemoval, globals::verifyTime, globals::logLevel,
                        globals::useBatchedGroupTransactions);
  startLogging(globals::logLevel);
  VEXAHVOPCServer::create();
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  if (server == nullptr) {
    logEmergency("Some error occurred in OPCServer prepare routine: terminating OPCServer");
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
    releaseServer();
    return 1;
  }

  const long run = server->processCommandLine(commandLine);
  if (run != 0) {
    const bool ok = run == 1;
    logNotice(ok ? "VEXAHVOPCServer registration operation successful" : "VEXAHVOPCServer registration operation failed");
    server->trace(2, 0x80000000u, "c_tWinMain", ok ? "Registration succeeded" : "Registration failed");
    logDebug("Terminate VEXAHVOPCServer");
    releaseServer();
    return 0;
  }

  logDebug("Starting VEXAHVOPCServer");
  try {
    startup_ = std::make_unique<platform::WorkerThread>("vexahv-startup", [this](std::stop_token) { startupThread(); });
  } catch (const std::exception&) {
    logEmergency("Failed starting VEXAHVOPCServer");
  }
  serving_ = true;
  return 0;
}

void VEXAHVServerProcess::startupThread() {
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  if (server == nullptr) {
    logAlert("VEXAHVOPCServer not found");
    return;
  }
  if (server->start() < 0) {
    logAlert("VEXAHVOPCServer not started");
    return;
  }
  // Clients reach the toolbox through its OPC UA endpoint; it reports Suspended until ready.
  OpcToolbox::ua::EndpointOptions options;
  if (!OpcToolbox::ua::EndpointOptions::fromEnvironment(options)) {
    logAlert("VEXAHVOPCServer not started");
    logError("Bad VEXAHV_OPCUA_PORT or VEXAHV_OPCUA_HOST: no OPC UA endpoint");
    std::fprintf(stderr, "vexahv-opcserver: bad VEXAHV_OPCUA_PORT or VEXAHV_OPCUA_HOST\n");
    return;
  }
  endpoint_ = std::make_unique<OpcToolbox::ua::UaEndpoint>(*OpcToolbox::getApp(), options);
  if (const std::error_code ec = endpoint_->start()) {
    logAlert("VEXAHVOPCServer not started");
    logError("OPC UA endpoint cannot listen on [", options.host, ":", options.port, "]: ", ec.message());
    std::fprintf(stderr, "vexahv-opcserver: cannot listen on %s:%u: %s\n", options.host.c_str(),
                 static_cast<unsigned>(options.port), ec.message().c_str());
    endpoint_.reset();
    return;
  }
  logNotice("OPC UA endpoint listening on [", endpoint_->url(), "]");
  std::printf("vexahv-opcserver: listening on %s\n", endpoint_->url().c_str());
  std::fflush(stdout);

  server->buildAddressSpace();
  server->addressSpaceBuilt().set();
  logDebug("VEXAHVOPCServer namespace built");
  server->ready();
  logDebug("VEXAHVOPCServer ready for clients to connect");
  if (server->getSystemList() == nullptr) {
    logError("VEXAHVOPCServer configuration not found");
    return;
  }
}

void VEXAHVServerProcess::stop() {
  // The build runs to its end (every library call has a time-out) before anything it
  // uses is torn down.
  if (startup_) startup_->join();
  startup_.reset();
  if (!serving_ && VEXAHVOPCServer::getInstance() == nullptr) return;
  serving_ = false;
  if (VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) {
    if (SystemList* list = server->getSystemList()) {
      for (const auto& node : list->snapshot()) {
        if (node->getSystemType() == 2 && node->hasEventThread()) node->takeEventThread().reset();
      }
    }
  }
  logDebug("Stopping VEXAHVOPCServer");
  // The toolbox's stop reports Shutdown, closes the endpoint and its sessions, and ends
  // outstanding transactions; only then is the application released.
  if (VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) server->stop();
  if (endpoint_) endpoint_->stop();
  releaseServer();
  endpoint_.reset();
}

}  // namespace vexahv
