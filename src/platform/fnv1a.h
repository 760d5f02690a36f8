// FNV-1a, the hash of names and checks: the configuration's index of section
// and key names, and the spool's file names and item checks. Small, quick on
// short texts, and the same on every build, which the spool needs because its
// files outlive the process that wrote them. Pure computation, for every room
// (no operating-system header).
#ifndef ZELK_PLATFORM_FNV1A_H_
#define ZELK_PLATFORM_FNV1A_H_

#include <cstdint>
#include <string_view>

namespace zelk::platform {

inline constexpr std::uint64_t kFnv1a64Start = 14695981039346656037u;
inline constexpr std::uint32_t kFnv1a32Start = 2166136261u;

// `hash` with one more byte taken in.
constexpr std::uint64_t Fnv1a64Byte(std::uint64_t hash, unsigned char byte) {
  return (hash ^ byte) * 1099511628211u;
}

// `hash` with every byte of `bytes` taken in, in order: a text hashed in two
// pieces, the second from the first's hash, hashes as the whole text does.
constexpr std::uint64_t Fnv1a64(std::string_view bytes, std::uint64_t hash = kFnv1a64Start) {
  for (const char c : bytes) hash = Fnv1a64Byte(hash, static_cast<unsigned char>(c));
  return hash;
}
constexpr std::uint32_t Fnv1a32(std::string_view bytes, std::uint32_t hash = kFnv1a32Start) {
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

}  // namespace zelk::platform

#endif  // ZELK_PLATFORM_FNV1A_H_
