// SPDX-License-Identifier: Apache-2.0
#include "driver/station_log.h"

#include <arpa/inet.h>

#include <cstdio>

namespace morvix {

namespace {

void remember(TickLog& log, const Decoder& d, int64_t relayed, int64_t repeated, std::time_t now) {
  const DecoderStats& s = d.stats;
  log.at = now;
  log.samples = input_samples(d.ring);
  log.dropped = d.ring.input.dropped;
  log.truncated = d.ring.input.truncated;
  log.sync_words = s.sync_words;
  log.relayed = relayed;
  log.repeated = repeated;
  log.decoded = s.frames_decoded;
  log.improved = s.frames_improved;
  log.rejected_header = s.rejected_header;
  log.rejected_frame_crc = s.rejected_frame_crc;
  log.rejected_uncorrectable = s.rejected_uncorrectable;
  log.corrected = s.symbols_corrected;
}

long long since(int64_t now, int64_t then) { return static_cast<long long>(now - then); }

}  // namespace

void log_start(TickLog& log, const Decoder& d, const Distribution& dist, int rx_port,
               uint32_t http_addr, int http_port, std::time_t now) {
  char upstream[80] = "not found";
  if (dist.upstream.vorn_found) {
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &dist.table.clients[0].addr, address, sizeof address);
    std::snprintf(upstream, sizeof upstream, "at %s", address);
  }
  std::fprintf(stderr,
               "morvix: bitstream input UDP %d, port announcement TCP %d, distribution UDP %d, "
               "%d samples per bit, %d slots, correction %s, %s reading, ",
               rx_port & 0xFFFF, dist.announce.ct_port & 0xFFFF, dist.table.cd_port, d.ring.sps,
               dist.table.num_clients, d.block.fec ? "on" : "off",
               d.improved_reading ? "improved" : "literal");
  if (dist.upstream.vorn_off) {
    std::fputs("upstream off", stderr);
  } else {
    std::fprintf(stderr, "upstream \"%s\" port %d %s", dist.upstream.vorn_host,
                 dist.upstream.vorn_port, upstream);
  }
  if (http_port != 0) {
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &http_addr, address, sizeof address);
    std::fprintf(stderr, ", status page http://%s:%d/", address, http_port);
  }
  std::fputc('\n', stderr);
  remember(log, d, 0, 0, now);
}

void log_tick(TickLog& log, const Decoder& d, const Distribution& dist, int64_t relayed,
              int64_t repeated, std::time_t now) {
  const DecoderStats& s = d.stats;
  const InputCounters& in = d.ring.input;
  const std::time_t seconds = now > log.at ? now - log.at : 1;
  std::fprintf(stderr,
               "since the last tick: %lld samples/s, %lld kernel drops, %lld frames relayed, %lld "
               "repeats, decoded %lld improved %lld literal, rejected "
               "%lld header %lld frame CRC %lld uncorrectable, %lld symbols corrected, "
               "%d clients, upstream feed %s\n",
               since(input_samples(d.ring), log.samples) / static_cast<long long>(seconds),
               since(in.dropped, log.dropped), since(relayed, log.relayed),
               since(repeated, log.repeated), since(s.frames_improved, log.improved),
               since(s.frames_decoded - s.frames_improved, log.decoded - log.improved),
               since(s.rejected_header, log.rejected_header),
               since(s.rejected_frame_crc, log.rejected_frame_crc),
               since(s.rejected_uncorrectable, log.rejected_uncorrectable),
               since(s.symbols_corrected, log.corrected), clients_in_use(dist),
               dist.table.clients[0].stamp != 0 ? "on" : "off");
  if (input_samples(d.ring) > log.samples && s.sync_words == log.sync_words) {
    std::fprintf(stderr,
                 "hint: samples arrive but no sync word was found since the last tick: is -s "
                 "(now %d) the source's samples per bit, and is the polarity right (a sample "
                 "of 0 is a line bit of 1)?\n",
                 d.ring.sps);
  }
  if (in.truncated > log.truncated) {
    std::fprintf(stderr,
                 "hint: %lld datagrams longer than %d bytes were cut; the source must send at "
                 "most %d bytes per datagram\n",
                 since(in.truncated, log.truncated), kInputBytes, kInputBytes);
  }
  remember(log, d, relayed, repeated, now);
}

}  // namespace morvix
