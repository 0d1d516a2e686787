// The host's "Mask Path" value requests (command 22) as a hostile host could make them: any
// selector, null arguments, buffers larger and smaller than the value, restored bytes of any
// length, interpolation at any t. The module must answer each without reading or writing
// outside what it was given, and every value it hands back must be a handle the host can free.
//
// The input is a program: one byte picks the request, the next bytes its arguments.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/hosting/effect_host.h"
#include "instance/param_ids.h"
#include "mask/mask_shape.h"
#include "platform/sdk/arbitrary_data.h"
#include "tests/fuzz/linked_module.h"

namespace {

struct Reader {
  const uint8_t* data;
  size_t size;
  bool empty() const { return size == 0; }
  uint8_t Byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  uint32_t Bytes(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | Byte();
    return v;
  }
  double Double() {
    uint64_t bits = uint64_t(Bytes(4)) << 32 | Bytes(4);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  // Up to `n` bytes, copied to a block of exactly that length so any over-read is caught.
  std::vector<uint8_t> Take(size_t n) {
    n = std::min(n, size);
    std::vector<uint8_t> out(data, data + n);
    data += n;
    size -= n;
    return out;
  }
};

constexpr int kSlots = 4;

class Values {
 public:
  explicit Values(const FxUtilityCallbacks* utils) : utils_(utils) {}
  ~Values() {
    for (FxHandle& h : slots_) Replace(h, nullptr);
  }
  FxHandle& operator[](uint8_t i) { return slots_[i % kSlots]; }
  void Replace(FxHandle& slot, FxHandle value) {
    if (slot != nullptr && slot != value) utils_->dispose_handle(slot);
    slot = value;
  }
  uint64_t Size(FxHandle h) const { return h ? utils_->get_handle_size(h) : 0; }

 private:
  const FxUtilityCallbacks* utils_;
  FxHandle slots_[kSlots] = {};
};

FxErr Ask(FxArbExtra& extra) { return LinkedEffectHost().Run(FxCmd_ArbitraryCallback, nullptr, nullptr, &extra).err; }

void Step(Reader& in, Values& values) {
  const uint8_t op = in.Byte();
  FxArbExtra extra{};
  extra.refcon = (op & 0x80) ? reinterpret_cast<void*>(uintptr_t(in.Bytes(4)))
                             : reinterpret_cast<void*>(mask_effect::kMaskPathRefcon);
  const bool null_argument = (op & 0x40) != 0;
  switch (op % 11) {
    case 0: {  // new
      FxHandle made = nullptr;
      extra.which = FxArb_New;
      extra.u.new_args.arb = null_argument ? nullptr : &made;
      Ask(extra);
      values.Replace(values[in.Byte()], made);
      break;
    }
    case 1: {  // dispose
      FxHandle& slot = values[in.Byte()];
      extra.which = FxArb_Dispose;
      extra.u.dispose_args.arb = null_argument ? nullptr : &slot;
      Ask(extra);
      break;
    }
    case 2: {  // copy
      FxHandle made = nullptr;
      extra.which = FxArb_Copy;
      extra.u.copy_args.src = values[in.Byte()];
      extra.u.copy_args.dst = null_argument ? nullptr : &made;
      if (Ask(extra) == FxErr_None && made != nullptr && values.Size(made) != values.Size(extra.u.copy_args.src))
        std::abort();
      values.Replace(values[in.Byte()], made);
      break;
    }
    case 3: {  // flat size
      uint32_t flat_size = 0xdeadbeef;
      extra.which = FxArb_FlatSize;
      extra.u.flat_size_args.arb = values[in.Byte()];
      extra.u.flat_size_args.flat_size = null_argument ? nullptr : &flat_size;
      if (Ask(extra) == FxErr_None && !null_argument && flat_size != values.Size(extra.u.flat_size_args.arb))
        std::abort();
      break;
    }
    case 4: {  // flatten into a buffer of any size
      std::vector<uint8_t> buffer(in.Bytes(2), 0xA5);
      FxHandle value = values[in.Byte()];
      extra.which = FxArb_Flatten;
      extra.u.flatten_args.arb = value;
      extra.u.flatten_args.buffer_size = uint32_t(buffer.size());
      extra.u.flatten_args.buffer = null_argument ? nullptr : buffer.data();
      if (Ask(extra) == FxErr_None && !null_argument) {
        const size_t held = std::min<size_t>(values.Size(value), buffer.size());
        if (held > 0 && std::memcmp(buffer.data(), *value, held) != 0) std::abort();
        for (size_t i = held; i < buffer.size(); ++i)
          if (buffer[i] != 0) std::abort();  // the rest of the host's buffer is cleared
      }
      break;
    }
    case 5: {  // unflatten bytes of any length
      const std::vector<uint8_t> flat = in.Take(in.Bytes(2));
      FxHandle made = nullptr;
      extra.which = FxArb_Unflatten;
      extra.u.unflatten_args.flat_size = uint32_t(flat.size());
      extra.u.unflatten_args.flat = flat.empty() ? nullptr : flat.data();
      extra.u.unflatten_args.arb = null_argument ? nullptr : &made;
      Ask(extra);
      values.Replace(values[in.Byte()], made);
      break;
    }
    case 6: {  // interpolate at any t, including NaN and infinities
      FxHandle made = nullptr;
      extra.which = FxArb_Interpolate;
      extra.u.interpolate_args.left = values[in.Byte()];
      extra.u.interpolate_args.right = values[in.Byte()];
      extra.u.interpolate_args.t = in.Double();
      extra.u.interpolate_args.out = null_argument ? nullptr : &made;
      Ask(extra);
      if (made != nullptr) {
        Mask::MaskShape shape;
        if (!Mask::UnflattenMaskShape(*made, values.Size(made), shape)) std::abort();
      }
      values.Replace(values[in.Byte()], made);
      break;
    }
    case 7: {  // compare, print, scan and selectors no host sends
      int32_t result = 0;
      extra.which = static_cast<FxArbSelector>(in.Bytes(4));
      extra.u.compare_args = {values[in.Byte()], values[in.Byte()], &result};
      if (extra.which >= FxArb_New && extra.which <= FxArb_Interpolate) extra.which = FxArb_Compare;
      Ask(extra);
      break;
    }
    case 8:  // no arguments at all
      LinkedEffectHost().Run(FxCmd_ArbitraryCallback, nullptr, nullptr, nullptr);
      break;
    default: {  // a value the host made itself, of any size and content
      const std::vector<uint8_t> bytes = in.Take(in.Bytes(2));
      FxHandle made = LinkedEffectHost().in_data().utils->new_handle(bytes.size());
      if (made == nullptr) std::abort();
      if (!bytes.empty()) std::memcpy(*made, bytes.data(), bytes.size());
      values.Replace(values[in.Byte()], made);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Values values(LinkedEffectHost().in_data().utils);
  Reader in{data, size};
  for (int steps = 0; !in.empty() && steps < 64; ++steps) Step(in, values);
  return 0;
}
