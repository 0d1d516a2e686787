#include "platform/runtime/guid.h"

#include <mutex>
#include <random>

namespace qrs::Guid {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsHyphenPosition(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

bool StringToGUID(std::string_view text, GUID* out) {
  if (out == nullptr || text.size() != 36) return false;
  GUID guid;
  size_t nibble = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHyphenPosition(i)) {
      if (text[i] != '-') return false;
      continue;
    }
    const int v = HexValue(text[i]);
    if (v < 0) return false;
    uint8_t& byte = guid.bytes[nibble / 2];
    byte = static_cast<uint8_t>(nibble % 2 == 0 ? v << 4 : byte | v);
    ++nibble;
  }
  *out = guid;
  return true;
}

std::string GUIDToString(const GUID& guid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < guid.bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[guid.bytes[i] >> 4]);
    text.push_back(kDigits[guid.bytes[i] & 0xF]);
  }
  return text;
}

GUID NewGUID() {
  static std::mutex mutex;
  static std::mt19937_64 engine{std::random_device{}()};
  GUID guid;
  {
    std::lock_guard lock(mutex);
    for (size_t i = 0; i < guid.bytes.size(); i += 8) {
      const uint64_t r = engine();
      for (size_t k = 0; k < 8; ++k) guid.bytes[i + k] = static_cast<uint8_t>(r >> (8 * k));
    }
  }
  guid.bytes[6] = static_cast<uint8_t>((guid.bytes[6] & 0x0F) | 0x40);  // version 4
  guid.bytes[8] = static_cast<uint8_t>((guid.bytes[8] & 0x3F) | 0x80);  // RFC variant
  return guid;
}

}  // namespace qrs::Guid
