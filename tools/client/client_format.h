// SPDX-License-Identifier: Apache-2.0
// What morvix-client makes of what the daemon sends: the port announcement's
// reply, the keepalive, and the printed and recorded forms of a frame.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "decoder/frame_format.h"
#include "net/client_table.h"

namespace morvix::client {

using Frame = std::span<const uint8_t>;
using WallClock = std::chrono::system_clock;

// The distribution port from the port announcement's whole reply: decimal
// digits, CR, LF and nothing else. nullopt for any other reply or for a port
// outside 1..65535.
std::optional<int> parse_port_reply(std::string_view reply);

// True for the daemon's keepalive datagram (kKeepalive).
bool is_keepalive(Frame datagram);

// The header fields of a frame of at least kMinFrameBytes bytes
// (decoder/frame_format.h), and whether its two CRCs hold.
struct FrameHeader {
  int first;   // byte 0
  int fill;    // F, byte 1
  int blocks;  // B, byte 2
  bool header_crc_ok;
  bool frame_crc_ok;
};
FrameHeader read_header(Frame frame);

// "2001-09-09T01:46:40.123Z": UTC, milliseconds.
std::string iso8601_utc(WallClock::time_point when);

// One line, newline included:
// "<time> len=<L> first=<hh> F=<F> B=<B> payload=<hex>", followed by
// " header-crc=bad" or " frame-crc=bad" when a check fails. Hex is lowercase.
std::string frame_text(Frame frame, WallClock::time_point received);

// One JSON object on one line, newline included, with the keys time, length,
// first, fill, blocks, payload (hex), header_crc_ok and frame_crc_ok. Given
// a station (a name without '"', '\' or control characters), also station
// after time and frame (the whole frame in hex) after length.
std::string frame_json(Frame frame, WallClock::time_point received, std::string_view station = {});

// The frame's length as two bytes, most significant first, then the frame.
std::string raw_record(Frame frame);

}  // namespace morvix::client
