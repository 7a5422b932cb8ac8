// SPDX-License-Identifier: Apache-2.0
#include "tools/client/client_format.h"

#include <cstdio>
#include <ctime>

#include "decoder/crc.h"
#include "runtime/hex.h"

namespace morvix::client {

namespace {

bool crc_holds(Frame frame, size_t from, size_t length) {
  return crc_matches(frame.data() + from, static_cast<int>(length), frame.data() + from + length);
}

std::string hex(Frame bytes) {
  std::string text(bytes.size() * 2, '0');
  put_hex(text.data(), bytes.data(), bytes.size());
  return text;
}

Frame payload(Frame frame) {
  return frame.subspan(kHeaderBytes, frame.size() - kFrameOverheadBytes);
}

}  // namespace

std::optional<int> parse_port_reply(std::string_view reply) {
  if (reply.size() < 3 || reply.size() > 7 || !reply.ends_with("\r\n")) return std::nullopt;
  reply.remove_suffix(2);
  int port = 0;
  for (char c : reply) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

bool is_keepalive(Frame datagram) {
  return std::string_view(reinterpret_cast<const char*>(datagram.data()), datagram.size()) ==
         std::string_view(kKeepalive);
}

FrameHeader read_header(Frame frame) {
  return {frame[0], frame[kFillBitsByte], frame[kBlocksByte], crc_holds(frame, 0, kHeaderCrcCovers),
          crc_holds(frame, kHeaderBytes, frame.size() - kFrameOverheadBytes)};
}

std::string iso8601_utc(WallClock::time_point when) {
  const auto ms = std::chrono::time_point_cast<std::chrono::milliseconds>(when);
  const std::time_t seconds = WallClock::to_time_t(std::chrono::floor<std::chrono::seconds>(ms));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ",
                static_cast<int>(ms.time_since_epoch().count() % 1000));
  return text;
}

std::string frame_text(Frame frame, WallClock::time_point received) {
  const FrameHeader h = read_header(frame);
  char fields[96];
  std::snprintf(fields, sizeof fields, " len=%zu first=%02x F=%d B=%d payload=", frame.size(),
                h.first, h.fill, h.blocks);
  std::string line = iso8601_utc(received) + fields + hex(payload(frame));
  if (!h.header_crc_ok) line += " header-crc=bad";
  if (!h.frame_crc_ok) line += " frame-crc=bad";
  return line + "\n";
}

std::string frame_json(Frame frame, WallClock::time_point received, std::string_view station) {
  const FrameHeader h = read_header(frame);
  char length[32];
  std::snprintf(length, sizeof length, ",\"length\":%zu,", frame.size());
  char fields[96];
  std::snprintf(fields, sizeof fields, "\"first\":%d,\"fill\":%d,\"blocks\":%d,", h.first, h.fill,
                h.blocks);
  std::string json = "{\"time\":\"" + iso8601_utc(received) + "\"";
  if (!station.empty()) json += ",\"station\":\"" + std::string(station) + "\"";
  json += length;
  if (!station.empty()) json += "\"frame\":\"" + hex(frame) + "\",";
  return json + fields + "\"payload\":\"" + hex(payload(frame)) +
         "\",\"header_crc_ok\":" + (h.header_crc_ok ? "true" : "false") +
         ",\"frame_crc_ok\":" + (h.frame_crc_ok ? "true" : "false") + "}\n";
}

std::string raw_record(Frame frame) {
  std::string record;
  record += static_cast<char>(frame.size() >> 8 & 0xFF);
  record += static_cast<char>(frame.size() & 0xFF);
  record.append(reinterpret_cast<const char*>(frame.data()), frame.size());
  return record;
}

}  // namespace morvix::client
