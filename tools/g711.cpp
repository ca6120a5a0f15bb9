#include "tools/g711.h"

#include <algorithm>

namespace tools {
namespace {

// The segment of a magnitude: how many bits it has above the lowest `low_bits`.
int Segment(int magnitude, int low_bits) {
  int segment = 0;
  for (int rest = magnitude >> low_bits; rest; rest >>= 1) ++segment;
  return segment;
}

}  // namespace

uint8_t MuLawEncode(int16_t sample) {
  const int value = std::min((sample + 2) >> 2, 8191);  // 14 bits, rounded
  const int mask = value < 0 ? 0x7F : 0xFF;
  const int magnitude = std::min((value < 0 ? -value : value) + 33, 0x1FFF);  // with the bias
  const int segment = Segment(magnitude, 6);
  return static_cast<uint8_t>(((segment << 4) | ((magnitude >> (segment + 1)) & 0xF)) ^ mask);
}

uint8_t ALawEncode(int16_t sample) {
  const int value = std::min((sample + 4) >> 3, 4095);  // 13 bits, rounded
  const int mask = value >= 0 ? 0xD5 : 0x55;
  const int magnitude = value >= 0 ? value : -value - 1;
  const int segment = Segment(magnitude, 5);
  const int mantissa = (magnitude >> (segment < 2 ? 1 : segment)) & 0xF;
  return static_cast<uint8_t>(((segment << 4) | mantissa) ^ mask);
}

int16_t MuLawDecode(uint8_t code) {
  const int u = ~code & 0xFF;
  const int t = (((u & 0xF) << 3) + 0x84) << ((u & 0x70) >> 4);
  return static_cast<int16_t>(u & 0x80 ? 0x84 - t : t - 0x84);
}

int16_t ALawDecode(uint8_t code) {
  const int a = code ^ 0x55;
  const int segment = (a & 0x70) >> 4;
  int t = ((a & 0xF) << 4) + (segment == 0 ? 8 : 0x108);
  if (segment > 1) t <<= segment - 1;
  return static_cast<int16_t>(a & 0x80 ? t : -t);
}

}  // namespace tools
