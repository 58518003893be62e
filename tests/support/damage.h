// Seeded random damage for the parsers' tests: one or two bytes changed,
// digits swapped, stretches cut, `pieces` of the format inserted, stretches
// copied elsewhere.
#pragma once

#include <random>
#include <string>
#include <vector>

inline std::string Damage(std::string text, std::mt19937& gen,
                          const std::vector<std::string>& pieces) {
  for (int c = 1 + gen() % 2; c > 0 && !text.empty(); --c) {
    const size_t at = gen() % text.size();
    const int kind = gen() % 5;
    if (kind == 0) text[at] = static_cast<char>(gen());
    if (kind == 1 && text[at] >= '0' && text[at] <= '9') text[at] = '0' + gen() % 10;
    if (kind == 2) text.erase(at, 1 + gen() % 30);
    if (kind == 3) text.insert(at, pieces[gen() % pieces.size()]);
    if (kind == 4) text.insert(at, text.substr(gen() % text.size(), 1 + gen() % 40));
  }
  return text;
}
