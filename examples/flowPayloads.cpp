#include "flowPayloads.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace {

const char* const kApplications[] = {
    "video.example",  "search.example", "mail.example",  "social.example", "cdn.example",
    "update.example", "chat.example",   "music.example", "games.example",  "news.example"};
const char* const kDetected[] = {"TLS", "QUIC", "HTTP", "DNS", "SSH", "NTP"};
const char* const kInterfaces[] = {"eth0", "eth1", "wlan0"};

template <typename T, size_t N>
const T& pick(std::mt19937_64& random, const T (&items)[N]) {
  return items[random() % N];
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
    const bool tcp = random() % 4 != 0;
    const uint64_t packets_in = random() % 5000 + 1;
    const uint64_t packets_out = random() % 3000 + 1;
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
    stats.push_back({{"local_ip", local},
                     {"other_ip", Address(ipv6)},
                     {"local_port", random() % 28000 + 32768},
                     {"other_port", tcp ? 443 : 53},
                     {"protocol", tcp ? 6 : 17},
                     {"application", pick(random, kApplications)},
                     {"detected_protocol", pick(random, kDetected)},
                     {"category", random() % 20},
                     {"bytes_in", packets_in * (random() % 1400 + 60)},
                     {"bytes_out", packets_out * (random() % 600 + 60)},
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
