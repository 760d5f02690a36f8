// Reals beside glibc's strtod in the C locale: for generated texts that reach
// blanks, signs, dots, exponents of any length, hexadecimal and named numbers
// and stray characters, ParseReal must give the very bits strtod gives (for a
// NaN: a NaN with the same sign).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "forwarding/pipeline.h"

namespace zelk::forwarding {
namespace {

bool SameReal(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) {
    return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  }
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Generates texts from a small grammar of number-like pieces.
class TextGrammar {
 public:
  explicit TextGrammar(std::uint64_t seed) : random_(seed) {}

  std::string Next() {
    std::string text;
    Repeat(3, [&] { text += Pick(" \t\n\v\f\r"); });
    if (Chance(3)) text += Pick("+-");
    if (Chance(12)) text += Pick("+- ");  // a second sign or a blank after the sign
    switch (Below(12)) {
      case 0:
        text += Named();
        break;
      case 1:
        text += Hexadecimal();
        break;
      default:
        text += Decimal();
        break;
    }
    Repeat(2, [&] { text += Pick("x,.e-+ 0a5Ep"); });
    return text;
  }

 private:
  std::uint64_t Below(std::uint64_t n) { return random_() % n; }
  bool Chance(std::uint64_t one_in) { return Below(one_in) == 0; }
  char Pick(const char* choices) { return choices[Below(std::strlen(choices))]; }

  template <typename Body>
  void Repeat(std::uint64_t at_most, Body body) {
    for (std::uint64_t n = Below(at_most + 1); n > 0; --n) body();
  }

  // Digit runs: mostly short, sometimes long enough to need exact rounding.
  std::string Digits(const char* alphabet) {
    const std::uint64_t length = Chance(8) ? Below(60) : Below(8);
    std::string digits;
    if (Chance(4)) digits.append(Below(5), '0');
    for (std::uint64_t i = 0; i < length; ++i) digits += Pick(alphabet);
    return digits;
  }

  // An exponent of any length: none, without digits, short, near the limits
  // of a double, or longer than 64 bits.
  std::string Exponent(const char* letters) {
    if (Chance(2)) return "";
    std::string exponent(1, Pick(letters));
    if (Chance(2)) exponent += Pick("+-");
    switch (Below(5)) {
      case 0:
        break;
      case 1:
        exponent += std::to_string(Below(30));
        break;
      case 2:
        exponent += std::to_string(280 + Below(60));
        break;
      case 3:
        exponent += std::to_string(1000 + Below(1000000));
        break;
      default:
        exponent += "9" + Digits("0123456789") + std::string(20, '9');
        break;
    }
    return exponent;
  }

  std::string Decimal() {
    std::string number = Digits("0123456789");
    if (Chance(2)) number += "." + Digits("0123456789");
    return number + Exponent("eE");
  }

  std::string Hexadecimal() {
    std::string number = std::string("0") + Pick("xX") + Digits("0123456789abcdefABCDEF");
    if (Chance(2)) number += "." + Digits("0123456789abcdef");
    return number + Exponent("pP");
  }

  std::string Named() {
    const char* names[] = {"inf", "INF",   "infinity",   "Infinity", "infin", "nan",
                           "NaN", "nan()", "nan(12ab_)", "nan(x",    "in",    "na"};
    return names[Below(std::size(names))];
  }

  std::mt19937_64 random_;
};

TEST(ParseRealBesideGlibc, GeneratedTexts) {
  TextGrammar grammar(20261209);
  int mismatches = 0;
  for (int i = 0; i < 300000; ++i) {
    const std::string text = grammar.Next();
    const double expected = std::strtod(text.c_str(), nullptr);
    const double actual = ParseReal(text);
    if (!SameReal(actual, expected) && ++mismatches <= 10) {
      ADD_FAILURE() << "[" << text << "]: strtod " << expected << " (" << std::hexfloat << expected
                    << "), ParseReal " << actual << std::defaultfloat;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace zelk::forwarding
