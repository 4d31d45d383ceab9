// Every library call against a mainframe that answers with arbitrary bytes: no crash, no
// write past the caller's buffers (ASan), and lists handed out only on success.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hwlib/library_calls.h"

namespace {

using namespace vexahv::hwlib;

// Each exchange takes a result byte, a 16-bit length and that many payload bytes.
class FuzzedMainframe final : public Exchange {
 public:
  FuzzedMainframe(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  int exchange(Op, std::span<const std::uint8_t>, int& result,
               std::vector<std::uint8_t>& response) override {
    if (size_ < 3) return VEXAHV_ERR_NOT_CONNECTED;
    result = data_[0] < 0xF0 ? VEXAHV_OK : data_[0] - 0xF0;
    std::size_t n = data_[1] | (data_[2] << 8);
    data_ += 3;
    size_ -= 3;
    n = n < size_ ? n : size_;
    response.assign(data_, data_ + n);
    data_ += n;
    size_ -= n;
    return VEXAHV_OK;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedMainframe x(data, size);
  namespace c = vexahv::hwlib::calls;
  std::uint16_t n16 = 0, *chans = nullptr, *serials = nullptr;
  char *models = nullptr, *descr = nullptr, *names = nullptr;
  std::uint8_t *minor = nullptr, *major = nullptr;
  if (c::getCrateMap(x, &n16, &chans, &models, &descr, &serials, &minor, &major) == VEXAHV_OK) {
    for (void* p : {static_cast<void*>(chans), static_cast<void*>(models), static_cast<void*>(descr),
                    static_cast<void*>(serials), static_cast<void*>(minor), static_cast<void*>(major)}) {
      std::free(p);
    }
  }
  if (c::getSysPropList(x, &n16, &names) == VEXAHV_OK) std::free(names);
  unsigned mode = 0, type = 0;
  (void)c::getSysPropInfo(x, "P", &mode, &type);
  char text[VEXAHV_TEXT_VALUE_SIZE * 4];
  (void)c::getSysProp(x, "P", text);
  (void)c::setSysProp(x, "P", "value");
  if (c::getBdParamInfo(x, 0, &names) == VEXAHV_OK) std::free(names);
  int count = 0;
  if (c::getChParamInfo(x, 0, 0, &names, &count) == VEXAHV_OK) std::free(names);
  for (const char* prop : {"Type", "Minval", "Unit", "Exp", "Onstate"}) {
    (void)c::getBdParamProp(x, 0, "V", prop, text);
    (void)c::getChParamProp(x, 0, 0, "V", prop, text);
  }
  const std::uint16_t list[4] = {0, 1, 2, 3};
  (void)c::getBdParam(x, 4, list, "V", text);
  (void)c::getChParam(x, 0, "V", 4, list, text);
  (void)c::setBdParam(x, 4, list, "V", text);
  (void)c::setChParam(x, 0, "V", 4, list, text);
  char chNames[4][VEXAHV_CH_NAME_SIZE];
  (void)c::getChName(x, 0, 4, list, chNames);
  (void)c::setChName(x, 0, 4, list, "name");
  (void)c::execComm(x, "Kill");
  char codes[4];
  (void)c::subscribe(x, Op::Subscribe, 1527, 2, "S.KeepAlive:S.LiveInsRem", codes);
  (void)c::subscribeSystem(x, 4527, "A:B", 2, codes);
  (void)c::subscribeBoard(x, 4527, 1, "A", 1, codes);
  (void)c::subscribeChannel(x, 4527, 1, 2, "A:B:C:D", 4, codes);
  return 0;
}
