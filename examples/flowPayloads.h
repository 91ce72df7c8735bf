// A deterministic source of realistic aggregator payloads: one-minute
// intervals of flow records between local hosts and the world.
#pragma once

#include <cstdint>
#include <random>
#include <string>

class FlowPayloadGenerator {
 public:
  // The same seed yields the same payloads, byte for byte.
  explicit FlowPayloadGenerator(uint64_t seed, int64_t first_interval = 1765000000,
                                int interval_seconds = 60);

  // The next interval's payload text with `entries` flow records. Each record
  // has 14 members: local_ip, other_ip (15 % IPv6), local_port, other_port,
  // protocol, application (such as "video.example"), detected_protocol,
  // category, bytes_in, bytes_out, packets_in, packets_out, digest (32 hex
  // digits) and iface, which the example configuration does not map. The
  // application, detected protocol, transport (protocol) and server port
  // (other_port) go together as in real traffic: DNS on UDP 53, NTP on UDP
  // 123, SSH on TCP 22, QUIC on UDP 443, TLS on TCP 443.
  std::string Next(size_t entries);

 private:
  std::string Address(bool ipv6);

  std::mt19937_64 random;
  int64_t interval_start;
  int interval_length;
};
