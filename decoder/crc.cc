// SPDX-License-Identifier: Apache-2.0
#include "decoder/crc.h"

namespace morvix {

void UpdateCrc(unsigned char byte, uint16_t& crc) {
  unsigned d = (byte ^ crc) & 0xFFu;
  d = (d ^ (d << 4)) & 0xFFu;
  crc = static_cast<uint16_t>((crc >> 8) ^ (d << 8) ^ (d << 3) ^ (d >> 4));
}

void ComputeCrc(const unsigned char* data, int length, unsigned char& low, unsigned char& high) {
  uint16_t crc = 0xFFFF;
  for (int i = 0; i < length; ++i) UpdateCrc(data[i], crc);
  crc = static_cast<uint16_t>(~crc);
  low = static_cast<unsigned char>(crc & 0xFF);
  high = static_cast<unsigned char>(crc >> 8);
}

bool crc_matches(const unsigned char* data, int length, const unsigned char* stored) {
  unsigned char low = 0;
  unsigned char high = 0;
  ComputeCrc(data, length, low, high);
  return stored[0] == low && stored[1] == high;
}

void store_crc(const unsigned char* data, int length, unsigned char* out) {
  ComputeCrc(data, length, out[0], out[1]);
}

}  // namespace morvix
