// SPDX-License-Identifier: Apache-2.0
#include "driver/metrics.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "runtime/clock.h"
#include "runtime/hex.h"

namespace morvix {

namespace {

constexpr int kMaxLabels = 6;

struct Sample {
  const char* label;  // the label's value, or null for a family without one
  int64_t value;
};

// One metric: its name without "morvix_" and "_total", and its samples.
struct Family {
  const char* name;
  bool counter;  // else a gauge
  const char* help;
  const char* label_key;  // null: one sample without a label
  bool indexed;           // labels 0, 1, 2, ...: a JSON array rather than an object
  Sample samples[kMaxLabels];
  int count;
  bool metrics_only = false;  // /stats.json has it in another shape
};

const char* const kDigits[kMaxLabels] = {"0", "1", "2", "3", "4", "5"};

Family single(const char* name, bool counter, const char* help, int64_t value) {
  return {name, counter, help, nullptr, false, {{nullptr, value}}, 1};
}

Family indexed(const char* name, const char* help, const char* key, const int64_t* values,
               int count) {
  Family f{name, true, help, key, true, {}, count};
  for (int i = 0; i < count; ++i) f.samples[i] = {kDigits[i], values[i]};
  return f;
}

constexpr int kFamilies = 40;  // room for every family collect() lists

// Every number the station shows, in the order both texts list them.
int collect(Family* f, const Decoder& d, const Distribution& dist, const LoopState& loop) {
  const DecoderStats& s = d.stats;
  const DistributionStats& n = dist.stats;
  const std::time_t now = clock_now();
  int i = 0;
  f[i++] = {
      "build_info", false, "The daemon's version.", "version", false, {{MORVIX_VERSION, 1}}, 1,
      true};
  f[i++] = single("start_time_seconds", false, "Start of the daemon, Unix time.", loop.start_wall);
  f[i++] = single("uptime_seconds", false, "Seconds since start-up.", now - loop.start);
  f[i++] = single("input_datagrams", true, "Datagrams received on the bitstream input.",
                  d.ring.input.datagrams);
  f[i++] = single("input_samples", true, "Samples taken from the bitstream input.",
                  input_samples(d.ring));
  f[i++] = single("input_truncated", true, "Input datagrams longer than 2048 bytes, cut there.",
                  d.ring.input.truncated);
  f[i++] =
      single("input_dropped", true, "Input datagrams the kernel dropped, the socket's buffer full.",
             d.ring.input.dropped);
  f[i++] = single("sync_words", true, "Sync words found.", s.sync_words);
  f[i++] = indexed("sync_words_by_errors",
                   "Sync words found, by wrong bits (0 to 5) at the earliest phase that matched.",
                   "wrong_bits", s.sync_wrong_bits, kMaxSyncWrongBits + 1);
  f[i++] = indexed("frames_by_sync_errors",
                   "Frames decoded, by wrong bits (0 to 5) of the sync word they were read at.",
                   "wrong_bits", s.decoded_sync_wrong_bits, kMaxSyncWrongBits + 1);
  f[i++] = single("frames_decoded", true, "Frames with both CRCs good, repeats included.",
                  s.frames_decoded);
  f[i++] = {"frames_by_reading",
            true,
            "Frames with both CRCs good, by the reading that decoded them.",
            "reading",
            false,
            {{"improved", s.frames_improved}, {"literal", s.frames_decoded - s.frames_improved}},
            2};
  f[i++] =
      single("frames_relayed", true, "Frames passed on, repeats excluded.", loop.frames_relayed);
  f[i++] = single("frames_repeated", true, "Frames dropped as repeats of the one before.",
                  loop.frames_repeated);
  f[i++] = single("frames_last_minute", false, "Frames passed on in the last 60 seconds.",
                  frames_last_minute(loop.figures, now));
  f[i++] = {"frames_rejected",
            true,
            "Frames rejected, by reason.",
            "reason",
            false,
            {{"header_crc", s.rejected_header},
             {"frame_crc", s.rejected_frame_crc},
             {"uncorrectable", s.rejected_uncorrectable}},
            3};
  f[i++] = single("symbols_corrected", true, "Symbols the Reed-Solomon code corrected.",
                  s.symbols_corrected);
  f[i++] = indexed("blocks_by_corrections", "Blocks read, by symbols corrected.", "corrected",
                   s.blocks_by_corrections, kMaxBlockCorrections + 1);
  f[i++] = single("last_frame_timestamp_seconds", false,
                  "When the last frame was passed on, Unix time; 0 before the first.",
                  loop.last_frame_wall);
  f[i++] = single("clients", false, "Client slots in use.", clients_in_use(dist));
  f[i++] = single("client_slots", false, "Client slots in the table.",
                  dist.table.num_clients > 1 ? dist.table.num_clients - 1 : 0);
  f[i++] =
      single("client_registrations", true, "Peers that took a free client slot.", n.registrations);
  f[i++] = single("client_disconnects", true, "Clients that left with DISCONNECT.", n.disconnects);
  f[i++] = single("client_expiries", true, "Clients freed after 300 silent seconds.", n.expiries);
  f[i++] = {"datagrams_refused",
            true,
            "Datagrams that took no slot, by reason.",
            "reason",
            false,
            {{"table_full", n.refused_full}, {"source", n.refused_source}},
            2};
  f[i++] = single("port_announcements", true, "Port announcement connections answered.",
                  n.port_announcements);
  f[i++] = single("upstream_enabled", false, "0 when the upstream feed is off (-u off), else 1.",
                  dist.upstream.vorn_off ? 0 : 1);
  f[i++] = single("upstream_resolved", false, "1 once the upstream server's name resolved.",
                  dist.upstream.vorn_found);
  f[i++] = single("upstream_feed", false, "1 while the upstream server is fed frames.",
                  dist.table.clients[0].stamp != 0 ? 1 : 0);
  f[i++] = single("upstream_starts", true, "START from the upstream server.", n.upstream_starts);
  f[i++] = single("upstream_stops", true, "STOP from the upstream server.", n.upstream_stops);
  f[i++] = single("identity_announcements", true, "Identity announcements sent upstream.",
                  n.identity_announcements);
  f[i++] = {"send_errors",
            true,
            "Datagrams lost because the send failed, by peer kind.",
            "peer",
            false,
            {{"client", n.send_errors_client}, {"upstream", n.send_errors_upstream}},
            2};
  f[i++] = single("samples_per_bit", false, "Samples per line bit (-s).", d.ring.sps);
  f[i++] = single("improved_reading", false, "1 when frames are read softly first (-a).",
                  d.improved_reading != 0 ? 1 : 0);
  return i;
}

// Appends to a fixed buffer; whatever does not fit is cut.
class Text {
 public:
  Text(char* out, size_t cap) : out_(out), cap_(cap) { out_[0] = '\0'; }
  void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (len_ + 1 >= cap_) return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(out_ + len_, cap_ - len_, format, args);
    va_end(args);
    if (n > 0) len_ = std::min(cap_ - 1, len_ + static_cast<size_t>(n));
  }
  size_t length() const { return len_; }

 private:
  char* out_;
  size_t cap_;
  size_t len_ = 0;
};

void add_address(Text& t, uint32_t addr) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &addr, text, sizeof text);
  t.add("\"%s\"", text);
}

// The last frames passed on, oldest first, each one object.
void render_recent_frames(Text& t, const StationFigures& figures) {
  for (int i = 0; i < figures.recent_count; ++i) {
    const RecentFrame& r = recent_frame(figures, i);
    t.add("%s{\"time\":%" PRId64
          ",\"length\":%d,\"blocks\":%d,\"corrections\":%d,"
          "\"sync_wrong_bits\":%d,\"frame\":\"",
          i > 0 ? "," : "", r.time, r.length, r.blocks, r.corrections, r.sync_wrong_bits);
    char hex[2 * kMaxFrameBytes + 1];
    *put_hex(hex, r.frame, static_cast<size_t>(r.length)) = '\0';
    t.add("%s\",\"soft\":", hex);
    if (r.soft.read) {
      // As morvix-decode --json gives them.
      t.add("{\"sync_rho\":%d,\"ber_ppm\":%d,\"chase_bits\":%d,\"chase_blocks\":%d}}",
            r.soft.sync_rho, r.soft.ber_ppm, r.soft.chase_changed, r.soft.chase_blocks);
    } else {
      t.add("null}");
    }
  }
}

}  // namespace

size_t render_metrics(char* out, size_t cap, const Decoder& d, const Distribution& dist,
                      const LoopState& loop) {
  Family families[kFamilies];
  const int count = collect(families, d, dist, loop);
  Text t(out, cap);
  for (int i = 0; i < count; ++i) {
    const Family& f = families[i];
    const char* suffix = f.counter ? "_total" : "";
    t.add("# HELP morvix_%s%s %s\n# TYPE morvix_%s%s %s\n", f.name, suffix, f.help, f.name, suffix,
          f.counter ? "counter" : "gauge");
    for (int k = 0; k < f.count; ++k) {
      if (f.label_key == nullptr) {
        t.add("morvix_%s%s %" PRId64 "\n", f.name, suffix, f.samples[k].value);
      } else {
        t.add("morvix_%s%s{%s=\"%s\"} %" PRId64 "\n", f.name, suffix, f.label_key,
              f.samples[k].label, f.samples[k].value);
      }
    }
  }
  // The listening sockets: three labels each, the port as the value.
  t.add(
      "# HELP morvix_port Listening sockets: the port, by socket, transport and bound "
      "address.\n# TYPE morvix_port gauge\n");
  for (const BoundSocket& b : loop.ports.sockets) {
    if (b.port == 0) continue;
    t.add("morvix_port{socket=\"%s\",transport=\"%s\",address=", b.name, b.transport);
    add_address(t, b.addr);
    t.add("} %d\n", b.port);
  }
  return t.length();
}

size_t render_stats_json(char* out, size_t cap, const Decoder& d, const Distribution& dist,
                         const LoopState& loop) {
  Family families[kFamilies];
  const int count = collect(families, d, dist, loop);
  Text t(out, cap);
  t.add("{");
  t.add("\"version\":\"%s\",\"reading\":\"%s\",", MORVIX_VERSION,
        d.improved_reading != 0 ? "improved" : "literal");
  for (int i = 0; i < count; ++i) {
    const Family& f = families[i];
    if (f.metrics_only) continue;
    t.add("\"%s\":", f.name);
    if (f.label_key == nullptr) {
      t.add("%" PRId64 ",", f.samples[0].value);
      continue;
    }
    t.add(f.indexed ? "[" : "{");
    for (int k = 0; k < f.count; ++k) {
      if (!f.indexed) t.add("\"%s\":", f.samples[k].label);
      t.add("%" PRId64 "%s", f.samples[k].value, k + 1 < f.count ? "," : "");
    }
    t.add(f.indexed ? "]," : "},");
  }

  const std::time_t now = clock_now();
  if (loop.last_frame != 0) {
    t.add("\"last_frame_age_seconds\":%lld,", static_cast<long long>(now - loop.last_frame));
  } else {
    t.add("\"last_frame_age_seconds\":null,");
  }
  t.add("\"frames_per_minute\":[");  // the last hour, oldest first, this minute last
  for (int ago = kMinutesKept - 1; ago >= 0; --ago) {
    t.add("%u%s", frames_in_minute(loop, now, ago), ago > 0 ? "," : "");
  }
  char hint[256];
  hint_text(loop.figures, d, hint, sizeof hint);
  t.add("],\"hint\":");
  if (hint[0] != '\0') {
    t.add("\"%s\"", hint);  // our own text: no quote or backslash in it
  } else {
    t.add("null");
  }
  t.add(",\"upstream_host\":\"");
  for (const char* c = dist.upstream.vorn_host; *c != '\0'; ++c) {
    if (*c == '"' || *c == '\\') t.add("\\");
    t.add("%c", *c >= ' ' ? *c : '?');
  }
  t.add("\",\"upstream_address\":");
  if (dist.upstream.vorn_found) {
    add_address(t, dist.table.clients[0].addr);
  } else {
    t.add("null");
  }
  t.add(",\"ports\":{");
  bool first = true;
  for (const BoundSocket& b : loop.ports.sockets) {
    if (b.port == 0) continue;
    t.add("%s\"%s\":{\"transport\":\"%s\",\"address\":", first ? "" : ",", b.name, b.transport);
    add_address(t, b.addr);
    t.add(",\"port\":%d}", b.port);
    first = false;
  }
  t.add("},\"client_table\":[");
  first = true;
  for (int i = 1; i < dist.table.num_clients; ++i) {
    const client_slot& slot = dist.table.clients[i];
    if (slot.stamp == 0) continue;
    t.add("%s{\"slot\":%d,\"address\":", first ? "" : ",", i);
    add_address(t, slot.addr);
    t.add(",\"port\":%u,\"idle_seconds\":%lld}", ntohs(static_cast<uint16_t>(slot.port)),
          static_cast<long long>(now - slot.stamp));
    first = false;
  }
  t.add("],\"recent_frames\":[");
  render_recent_frames(t, loop.figures);
  t.add("]}\n");
  return t.length();
}

}  // namespace morvix
