// SPDX-License-Identifier: Apache-2.0
#include "tools/gen/sample_sink.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "tools/tool_args.h"

namespace morvix::gen {

using tool::failed;

Sink::Sink(const Options& options) : datagram_(static_cast<size_t>(options.datagram)) {
  if (!options.out.empty()) {
    file_ = options.out == "-" ? stdout : std::fopen(options.out.c_str(), "wb");
    if (file_ == nullptr) failed("cannot open " + options.out);
    name_ = options.out;
    return;
  }
  open_udp(options.udp);
  rate_ = options.rate;
  start_ = std::chrono::steady_clock::now();
}

void Sink::write(const Bytes& bytes) {
  if (bytes.empty()) return;
  if (file_ != nullptr) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
      failed("cannot write " + name_);
    }
    return;
  }
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  size_t at = 0;
  for (; pending_.size() - at >= datagram_; at += datagram_) send(&pending_[at], datagram_);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

void Sink::finish() {
  if (file_ != nullptr) {
    if (std::fflush(file_) != 0 || (file_ != stdout && std::fclose(file_) != 0)) {
      failed("cannot write " + name_);
    }
    return;
  }
  if (!pending_.empty()) send(pending_.data(), pending_.size());
  close(fd_);
}

void Sink::open_udp(const std::string& target) {
  const size_t colon = target.rfind(':');
  if (colon == std::string::npos || colon == 0) tool::bad_arguments("--udp takes HOST:PORT");
  const std::string host = target.substr(0, colon);
  const auto port =
      static_cast<int>(tool::integer_option("--udp port", target.substr(colon + 1), 1, 65535));
  std::string error;
  if (!tool::resolve_ipv4(host, port, to_, error)) {
    std::fprintf(stderr, "morvix-gen: cannot resolve %s: %s\n", host.c_str(), error.c_str());
    std::exit(1);
  }
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd_ < 0) failed("cannot open a UDP socket");
  name_ = target;
}

void Sink::send(const uint8_t* data, size_t size) {
  if (rate_ > 0.0) {
    // Paced from the start, so a late datagram makes up time instead of
    // slowing the whole stream.
    const std::chrono::duration<double> due(static_cast<double>(sent_samples_) / rate_);
    std::this_thread::sleep_until(
        start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(due));
  }
  if (sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_) < 0) {
    failed("cannot send to " + name_);
  }
  sent_samples_ += static_cast<long long>(size) * 8;
}

}  // namespace morvix::gen
