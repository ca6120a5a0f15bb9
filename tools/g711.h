// G.711 mu-law and A-law for 16-bit samples. Encoding first rounds to the law's 14 (mu) or 13
// (A) bits, to nearest, as sox does, so that files match a sox conversion byte for byte.
#pragma once

#include <cstdint>

namespace tools {

uint8_t MuLawEncode(int16_t sample);
uint8_t ALawEncode(int16_t sample);
int16_t MuLawDecode(uint8_t code);
int16_t ALawDecode(uint8_t code);

}  // namespace tools
