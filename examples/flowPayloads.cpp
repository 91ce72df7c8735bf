#include "flowPayloads.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace {

// Traffic as a gateway sees it: which application speaks which protocol over
// which transport (IP protocol 6 TCP, 17 UDP) and server port, how often, and
// how much a flow of it carries. Sizes are bytes per packet.
struct Service {
  const char* application;
  const char* detected_protocol;
  unsigned transport;
  unsigned port;
  unsigned category;
  unsigned weight;  // share of the flows, against the others' weights
  unsigned max_packets_in, min_size_in, max_size_in;
  unsigned max_packets_out, min_size_out, max_size_out;
};

constexpr unsigned kTcp = 6, kUdp = 17;

const Service kServices[] = {
    {"video.example", "QUIC", kUdp, 443, 1, 6, 5000, 1200, 1350, 800, 60, 120},
    {"video.example", "TLS", kTcp, 443, 1, 4, 5000, 1200, 1460, 1500, 52, 100},
    {"music.example", "TLS", kTcp, 443, 1, 3, 800, 1000, 1460, 300, 52, 100},
    {"search.example", "QUIC", kUdp, 443, 2, 5, 150, 200, 1350, 80, 60, 600},
    {"search.example", "TLS", kTcp, 443, 2, 5, 150, 200, 1460, 80, 52, 600},
    {"news.example", "TLS", kTcp, 443, 3, 4, 400, 300, 1460, 150, 52, 400},
    {"news.example", "HTTP", kTcp, 80, 3, 1, 300, 300, 1460, 120, 52, 400},
    {"social.example", "QUIC", kUdp, 443, 4, 4, 1500, 300, 1350, 600, 60, 900},
    {"social.example", "TLS", kTcp, 443, 4, 4, 1500, 300, 1460, 600, 52, 900},
    {"chat.example", "TLS", kTcp, 443, 5, 5, 60, 80, 600, 60, 80, 600},
    {"mail.example", "IMAPS", kTcp, 993, 6, 3, 300, 100, 1460, 100, 52, 300},
    {"mail.example", "SMTP", kTcp, 587, 6, 1, 40, 52, 200, 400, 300, 1460},
    {"cdn.example", "TLS", kTcp, 443, 7, 5, 3000, 1000, 1460, 600, 52, 100},
    {"cdn.example", "HTTP", kTcp, 80, 7, 2, 3000, 1000, 1460, 600, 52, 100},
    {"update.example", "TLS", kTcp, 443, 8, 1, 5000, 1400, 1460, 1000, 52, 80},
    {"update.example", "HTTP", kTcp, 80, 8, 1, 5000, 1400, 1460, 1000, 52, 80},
    {"games.example", "TLS", kTcp, 443, 9, 1, 200, 100, 1460, 100, 52, 400},
    {"games.example", "STUN", kUdp, 3478, 9, 1, 3000, 60, 400, 3000, 60, 300},
    {"resolver.example", "DNS", kUdp, 53, 10, 12, 1, 60, 400, 1, 60, 100},
    {"time.example", "NTP", kUdp, 123, 10, 2, 1, 76, 76, 1, 76, 76},
    {"git.example", "SSH", kTcp, 22, 11, 2, 2000, 52, 1460, 1000, 52, 1460},
};

const char* const kInterfaces[] = {"eth0", "eth1", "wlan0"};

template <typename T, size_t N>
const T& pick(std::mt19937_64& random, const T (&items)[N]) {
  return items[random() % N];
}

const Service& pickService(std::mt19937_64& random) {
  static const unsigned total = [] {
    unsigned sum = 0;
    for (const Service& service : kServices) sum += service.weight;
    return sum;
  }();
  unsigned left = static_cast<unsigned>(random() % total);
  for (const Service& service : kServices) {
    if (left < service.weight) return service;
    left -= service.weight;
  }
  return kServices[0];
}

uint64_t between(std::mt19937_64& random, unsigned low, unsigned high) {
  return low + random() % (high - low + 1);
}

}  // namespace

FlowPayloadGenerator::FlowPayloadGenerator(uint64_t seed, int64_t first_interval,
                                           int interval_seconds)
    : random(seed), interval_start(first_interval), interval_length(interval_seconds) {}

std::string FlowPayloadGenerator::Address(bool ipv6) {
  char text[64];
  if (ipv6) {
    std::snprintf(
        text, sizeof text, "2001:db8:%x:%x::%x", static_cast<unsigned>(random() % 0x10000),
        static_cast<unsigned>(random() % 0x10000), static_cast<unsigned>(random() % 0x10000));
  } else {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(random() % 223 + 1),
                  static_cast<unsigned>(random() % 256), static_cast<unsigned>(random() % 256),
                  static_cast<unsigned>(random() % 254 + 1));
  }
  return text;
}

std::string FlowPayloadGenerator::Next(size_t entries) {
  nlohmann::json stats = nlohmann::json::array();
  for (size_t i = 0; i < entries; ++i) {
    const bool ipv6 = random() % 100 < 15;
    const Service& service = pickService(random);
    const uint64_t packets_in = between(random, 1, service.max_packets_in);
    const uint64_t packets_out = between(random, 1, service.max_packets_out);
    char digest[33];
    std::snprintf(digest, sizeof digest, "%016llx%016llx",
                  static_cast<unsigned long long>(random()),
                  static_cast<unsigned long long>(random()));
    char local[64];
    if (ipv6) {
      std::snprintf(local, sizeof local, "fd00::%x", static_cast<unsigned>(random() % 250 + 2));
    } else {
      std::snprintf(local, sizeof local, "192.168.1.%u", static_cast<unsigned>(random() % 250 + 2));
    }
    stats.push_back(
        {{"local_ip", local},
         {"other_ip", Address(ipv6)},
         {"local_port", random() % 28000 + 32768},
         {"other_port", service.port},
         {"protocol", service.transport},
         {"application", service.application},
         {"detected_protocol", service.detected_protocol},
         {"category", service.category},
         {"bytes_in", packets_in * between(random, service.min_size_in, service.max_size_in)},
         {"bytes_out", packets_out * between(random, service.min_size_out, service.max_size_out)},
         {"packets_in", packets_in},
         {"packets_out", packets_out},
         {"digest", digest},
         {"iface", pick(random, kInterfaces)}});
  }
  nlohmann::json payload = {{"log_time_start", interval_start},
                            {"log_time_end", interval_start + interval_length},
                            {"stats", std::move(stats)}};
  interval_start += interval_length;
  return payload.dump();
}
