// The simulator's request decoder over any byte stream, as a logged-in connection sees
// it: no crash, every frame answered or the connection closed, answers well-formed.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "hwlib/mainframe_protocol.h"
#include "sim/crate_file.h"
#include "sim/request_handler.h"

namespace {

constexpr const char* kCrate =
    "mainframe name=F address=127.0.0.9 type=2 user=u password=p slots=3\n"
    "property name=SwRelease type=text mode=ro value=\"1.0\"\n"
    "property name=Cfg type=ui2 mode=rw value=1\n"
    "command name=Kill\ncommand name=ClearAlarm\n"
    "board slot=0 model=B description=\"d\" serial=1 firmware=1.2 channels=4\n"
    "boardparam name=Temp type=numeric mode=ro min=0 max=100 value=20\n"
    "boardparam name=Label type=string mode=rw value=\"x\"\n"
    "channelparam name=V0Set type=numeric mode=rw min=0 max=100 value=0\n"
    "channelparam name=VMon type=numeric mode=ro value=0\n"
    "channelparam name=Pw type=onoff mode=rw value=0\n"
    "board slot=2 like=0\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vexahv;
  static sim::CrateSpec spec = [] {
    sim::CrateSpec s;
    std::string error;
    if (!sim::parseCrateText(kCrate, s, error)) std::abort();
    return s;
  }();
  sim::MainframeModel model(spec);
  sim::EventPublisher events(model, spec.address);
  sim::Faults faults;
  sim::RequestContext ctx{model, events, faults};
  sim::Session session;
  session.peer = {platform::kLoopback, 9};
  // The first byte chooses whether the stream starts logged in.
  session.loggedIn = size > 0 && (data[0] & 1);
  std::size_t at = size > 0 ? 1 : 0;
  // Frames: a 16-bit body length, then the body.
  while (at + 2 <= size) {
    std::size_t n = data[at] | (data[at + 1] << 8);
    at += 2;
    n = n < size - at ? n : size - at;
    bool close = false;
    const auto response = sim::handleRequest(ctx, session, {data + at, n}, close);
    at += n;
    if (response.empty()) {
      if (!close) std::abort();  // no answer means the connection ends
      break;
    }
    hwlib::ResponseView view;
    if (response.size() < hwlib::kLengthSize ||
        !hwlib::parseResponse({response.data() + hwlib::kLengthSize, response.size() - hwlib::kLengthSize}, view)) {
      std::abort();
    }
    if (close) break;
  }
  model.tick(0.1);
  return 0;
}
