#include "tessera_plus/sim/gaps.h"

#include "tessera_plus/sim/random.h"
#include "tessera_plus/sim/universe.h"

namespace tessera_plus::tallow::sim {
namespace {

constexpr int kSegment = 64;

// The block that segment `segment` starts, as [from, to]; none when it starts none.
bool block_in(const SimInstrument& ins, int segment, int& from, int& to) {
  const std::uint64_t bits = mix64(ins.key, std::uint64_t(segment), 0x5b10c);
  if (unit(bits) >= ins.gaps.block_rate) return false;
  DayRng rng(bits);
  from = segment * kSegment + int(rng.below(kSegment));
  const double kind = rng.uniform();
  int length = kind < 0.7    ? 1 + int(rng.below(5))
               : kind < 0.9  ? 5 + int(rng.below(25))
               : kind < 0.98 ? 30 + int(rng.below(90))
                             : 120 + int(rng.below(kLongestBlock - 120));
  to = from + length - 1;
  return true;
}

}  // namespace

bool is_suspended_on(const SimInstrument& ins, int index) {
  const GapModel& g = ins.gaps;
  for (const auto& [from, to] : g.fixed_blocks) {
    if (index >= from && index <= to) return true;
  }
  if (g.mass_length > 0 && index >= g.mass_from && index < g.mass_from + g.mass_length) {
    return true;
  }
  if (g.block_rate <= 0) return false;
  for (int s = index / kSegment; s >= 0 && s >= (index - kLongestBlock) / kSegment - 1; --s) {
    int from = 0, to = 0;
    if (block_in(ins, s, from, to) && index >= from && index <= to) return true;
  }
  return false;
}

bool trades_on(const SimInstrument& ins, int index) {
  return index >= ins.first && index <= ins.last && !is_suspended_on(ins, index);
}

bool has_intraday_data(const SimInstrument& ins, int index) {
  if (!trades_on(ins, index)) return false;
  return ins.gaps.hole_rate <= 0 ||
         unit(mix64(ins.key, std::uint64_t(index), 0x401e)) >= ins.gaps.hole_rate;
}

std::optional<Halt> halt_on(const SimInstrument& ins, int index, int slots) {
  if (ins.gaps.halt_rate <= 0) return std::nullopt;
  const std::uint64_t bits = mix64(ins.key, std::uint64_t(index), 0x4a17);
  if (unit(bits) >= ins.gaps.halt_rate) return std::nullopt;
  // Halted for the first hour (an announcement), or from the lunch break on.
  if (bits & 1) return Halt{0, std::min(60, slots - 1)};
  return Halt{slots / 2, slots};
}

}  // namespace tessera_plus::tallow::sim
