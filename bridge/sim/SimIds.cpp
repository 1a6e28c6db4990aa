#include "bridge/sim/SimIds.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>

namespace sim {

namespace {

// Re-seeded after a fork: a child must not produce the ids its parent produces.
std::mt19937_64& Generator() {
  thread_local std::mt19937_64 generator;
  thread_local pid_t seededFor = -1;
  if (seededFor != getpid()) {
    std::random_device device;
    std::seed_seq seed{device(), device(), static_cast<unsigned>(getpid()),
                       static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
    generator.seed(seed);
    seededFor = getpid();
  }
  return generator;
}

uint64_t Fnv1a64(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

std::string RandomToken(size_t length) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string token(length, 'a');
  for (char& c : token) c = kAlphabet[pick(Generator())];
  return token;
}

std::string NewUuid() {
  std::uniform_int_distribution<uint32_t> byte(0, 255);
  unsigned char b[16];
  for (unsigned char& x : b) x = static_cast<unsigned char>(byte(Generator()));
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  char text[37];
  snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2],
           b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

std::string NewOcid(const std::string& kind, const std::string& regionCode) {
  return "ocid1." + kind + ".oc1." + regionCode + "." + RandomToken(40);
}

std::string SafeFileName(const std::string& id, const std::string& extension) {
  constexpr size_t kReadablePart = 80;
  std::string name;
  for (char c : id) {
    if (name.size() == kReadablePart) break;
    bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                (c == '.' && !name.empty());
    name += safe ? c : '_';
  }
  char hash[20];
  snprintf(hash, sizeof hash, "-%016llx", static_cast<unsigned long long>(Fnv1a64(id)));
  return name + hash + extension;
}

}  // namespace sim
