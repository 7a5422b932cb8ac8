// SPDX-License-Identifier: Apache-2.0
// The CRC-16 of the frame's two checks: CRC-16/X.25, reflected polynomial
// 0x1021, initial value 0xFFFF, result complemented, stored low byte first
// (the check value over "123456789" is 0x906E).
#pragma once

#include <cstdint>

namespace morvix {

// The CRC register after one more byte (no table).
void UpdateCrc(unsigned char byte, uint16_t& crc);

// The CRC of data[0 .. length - 1] (length >= 1) as its low and high byte.
void ComputeCrc(const unsigned char* data, int length, unsigned char& low, unsigned char& high);

// True when stored[0] and stored[1] hold the CRC of data[0 .. length - 1].
bool crc_matches(const unsigned char* data, int length, const unsigned char* stored);

// Writes the CRC of data[0 .. length - 1] to out[0] (low byte) and out[1].
void store_crc(const unsigned char* data, int length, unsigned char* out);

}  // namespace morvix
