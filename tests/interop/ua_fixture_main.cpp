// vexahv-ua-fixture: test infrastructure, not a product. The OPC toolbox and its OPC UA
// endpoint over a synthetic address space, for the interop tests and benchmarks:
//   Demo.<type>          one read-write item per data type (reported)
//   Demo.ReadOnly, Demo.WriteOnly, Demo.Polled, Demo.Slow (device reads take 2 s)
//   Demo.Folder.Inner.Leaf   nested folders
//   S.BoardBB.ChanCCC.VMon   10 x 1000 reported Float items; every 100 ms tick t updates
//                            the 1000 of board t mod 10 to (g mod 1000) + CCC * 0.1, g
//                            counting that item's updates from 1 (the benchmark space)
// Port from VEXAHV_OPCUA_PORT (0: any free port), address from VEXAHV_OPCUA_HOST.
// --security ROOT: the security settings and certificate store of ROOT (security.conf,
// pki/), as the server takes them from its platform root; without it None and anonymous.
// Prints "vexahv-ua-fixture: listening on <url>" and serves until SIGINT/SIGTERM or
// --duration seconds.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "opctoolbox/application.h"
#include "opctoolbox/ua/endpoint/ua_endpoint.h"
#include "opctoolbox/ua/settings/ua_security_files.h"
#include "platform/heap_tuning.h"
#include "platform/interruptible_sleep.h"
#include "platform/worker_thread.h"

namespace {

using namespace OpcToolbox;

volatile std::sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

// The item whose device reads take two seconds.
const DaAddressSpaceElement* gSlow = nullptr;

class FixtureTransaction : public DaTransaction {
 public:
  using DaTransaction::DaTransaction;
  // Only a read of the slow item waits; every other one is answered from memory at once.
  bool mayBlock() const override {
    if (getType() != EnumTransactionType::Read) return false;
    for (const auto& r : getRequests()) {
      if (r->element().get() == gSlow) return true;
    }
    return false;
  }
  long handleReadRequests() override {
    const DateTime now = DateTime::now();
    for (const auto& r : getRequests()) {
      if (!r->element()) continue;
      if (r->element().get() == gSlow) std::this_thread::sleep_for(std::chrono::seconds(2));
      ValueQT v;
      r->element()->getCacheValue(v);
      if (v.getQuality() == kQualityWaitingForInitialData) v.setQuality(kQualityGood);
      v.setTimeStamp(now);
      r->setValue(v);
      r->setResult(S_OK);
    }
    return completeRequests();
  }
};

class FixtureCreator : public Creator {
 public:
  std::shared_ptr<DaTransaction> createTransaction(EnumTransactionType t, RequestList r, std::uint32_t s) override {
    return std::make_shared<FixtureTransaction>(t, std::move(r), s);
  }
};

ElementPtr folder(const std::string& name) {
  auto e = std::make_shared<DaAddressSpaceElement>("", name, kReadable, kIoNone, VT_EMPTY);
  e->setHasChildren(true);
  return e;
}

ElementPtr item(const std::string& name, std::uint16_t type, std::uint32_t rights, std::uint32_t io, Variant v) {
  auto e = std::make_shared<DaAddressSpaceElement>("", name, rights, io, type);
  e->valueChanged(ValueQT(std::move(v), kQualityGood, DateTime::now()));
  return e;
}

std::vector<ElementPtr> gBench;

void build(DaAddressSpaceRoot& root) {
  auto demo = folder("Demo");
  root.addChild(demo);
  Variant v;
  v.setI2(-2); demo->addChild(item("Int16", VT_I2, kReadWriteable, kIoReport, v));
  v.setI4(-4); demo->addChild(item("Int32", VT_I4, kReadWriteable, kIoReport, v));
  v.setR4(1.5f); demo->addChild(item("Float", VT_R4, kReadWriteable, kIoReport, v));
  v.setBSTR("text"); demo->addChild(item("String", VT_BSTR, kReadWriteable, kIoReport, v));
  v.setBOOL(true); demo->addChild(item("Boolean", VT_BOOL, kReadWriteable, kIoReport, v));
  v.setUI2(2); demo->addChild(item("UInt16", VT_UI2, kReadWriteable, kIoReport, v));
  v.setUI4(4); demo->addChild(item("UInt32", VT_UI4, kReadWriteable, kIoReport, v));
  v.setR4(7.0f); demo->addChild(item("ReadOnly", VT_R4, kReadable, kIoReport, v));
  v.setI4(0); demo->addChild(item("WriteOnly", VT_I4, kWriteable, kIoReport, v));
  v.setR4(3.0f); demo->addChild(item("Polled", VT_R4, kReadable, kIoPoll, v));
  v.setR4(9.0f);
  auto slow = item("Slow", VT_R4, kReadable, kIoPoll, v);
  gSlow = slow.get();
  demo->addChild(slow);
  auto outer = folder("Folder"), inner = folder("Inner");
  demo->addChild(outer);
  outer->addChild(inner);
  v.setI4(42); inner->addChild(item("Leaf", VT_I4, kReadable, kIoReport, v));
  auto s = folder("S");
  root.addChild(s);
  for (int b = 0; b < 10; ++b) {
    char name[16];
    std::snprintf(name, sizeof name, "Board%02d", b);
    auto board = folder(name);
    s->addChild(board);
    // The variables sit on the board itself, named ChanCCC.VMon, as in the anchor's
    // address space: 10,000 nodes under S, no folder per channel.
    for (int c = 0; c < 1000; ++c) {
      std::snprintf(name, sizeof name, "Chan%03d.VMon", c);
      v.setR4(0.0f);
      auto vmon = item(name, VT_R4, kReadable, kIoReport, v);
      board->addChild(vmon);
      gBench.push_back(vmon);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Tuned as the server is, so that its figures are the server's.
  vexahv::platform::tuneHeapForServer();
  long duration = 0;
  const char* securityRoot = nullptr;
  constexpr const char* kUsage =
      "usage: vexahv-ua-fixture [--duration SECONDS] [--security DIR]\n"
      "       vexahv-ua-fixture --help | --version\n"
      "  the OPC UA endpoint on its own over a fixed address space, on 127.0.0.1\n";
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("vexahv-ua-fixture %s\n", VEXAHV_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--duration") == 0 && hasValue) {
      char* end = nullptr;
      duration = std::strtol(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || duration < 0) {
        std::fprintf(stderr, "vexahv-ua-fixture: --duration takes whole seconds, not [%s]\n%s", argv[i], kUsage);
        return 2;
      }
    } else if (std::strcmp(argv[i], "--security") == 0 && hasValue) {
      securityRoot = argv[++i];
    } else {
      std::fprintf(stderr, "vexahv-ua-fixture: unknown argument [%s]\n%s", argv[i], kUsage);
      return 2;
    }
  }
  Application* app = getApp();
  app->setProgIdDa("VEXA.HVOPCServer.5");
  app->setVerIndProgIdDa("VEXA.HVOPCServer");
  app->setDescription("OPC UA fixture of the VEXA HV OPC server");
  app->setVendorInfo("VEXA SpA");
  app->setMinUpdateRateDa(1000);  // a DA setting: OPC UA sampling does not follow it
  app->initialize(std::make_unique<FixtureCreator>());
  app->start();
  build(*app->getDaAddressSpaceRoot());
  ua::EndpointOptions options;
  options.host = "127.0.0.1";
  if (const std::string bad = ua::EndpointOptions::fromEnvironment(options); !bad.empty()) {
    std::fprintf(stderr, "vexahv-ua-fixture: %s\n", bad.c_str());
    return 2;
  }
  if (securityRoot != nullptr) {
    const auto log = [](ua::SecurityLogLevel, const std::string& text) {
      std::fprintf(stderr, "vexahv-ua-fixture: security: %s\n", text.c_str());
    };
    if (const std::string bad = ua::loadSecurityConfiguration(securityRoot, ua::serverIdentity(*app), log,
                                                              options.security);
        !bad.empty()) {
      std::fprintf(stderr, "vexahv-ua-fixture: %s\n", bad.c_str());
      return 2;
    }
  }
  ua::UaEndpoint endpoint(*app, options);
  if (auto ec = endpoint.start()) {
    std::fprintf(stderr, "vexahv-ua-fixture: cannot listen: %s\n", ec.message().c_str());
    return 1;
  }
  app->ready();
  std::printf("vexahv-ua-fixture: listening on %s\n", endpoint.url().c_str());
  std::fflush(stdout);
  vexahv::platform::WorkerThread updater("fixture-upd", [](std::stop_token stop) {
    std::vector<std::uint32_t> generation(gBench.size(), 0);
    auto next = std::chrono::steady_clock::now();
    for (std::uint64_t tick = 0; !stop.stop_requested(); ++tick) {
      const std::size_t board = tick % 10;
      const DateTime now = DateTime::now();
      for (std::size_t c = 0; c < 1000; ++c) {
        const std::size_t i = board * 1000 + c;
        Variant value;
        value.setR4(static_cast<float>(++generation[i] % 1000 + static_cast<double>(c) * 0.1));
        gBench[i]->valueChanged(ValueQT(value, kQualityGood, now));
      }
      next += std::chrono::milliseconds(100);
      vexahv::platform::sleepFor(stop, std::chrono::duration_cast<std::chrono::milliseconds>(
                                           next - std::chrono::steady_clock::now()));
    }
  });
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  for (long t = 0; !gStop && (duration == 0 || t < duration * 10); ++t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  updater.stopAndJoin();
  endpoint.stop();
  app->stop();
  app->terminate();
  releaseApp();
  return 0;
}
