// The lower bound that spares incompressible payloads their compression:
// whatever it claims of an input, zlib's compress() at the default level
// makes at least that many bytes of it (inputs of every kind, around the
// sizes and the saving threshold the packet path uses), and it does claim
// enough for random payloads, which is what the bound is for.
#include "Brindleway/datapath/deflate_bound.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;

size_t CompressedLength(const Bytes& data) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  Bytes out(length);
  EXPECT_EQ(compress(out.data(), &length, data.data(), static_cast<uLong>(data.size())), Z_OK);
  return length;
}

Bytes Random(size_t length, uint32_t seed, uint32_t alphabet = 256) {
  std::mt19937 rng(seed);
  Bytes out(length);
  for (auto& b : out) b = static_cast<uint8_t>(rng() % alphabet);
  return out;
}

// The payload threshold of IP compression: sent as it is unless it saves
// more than a quarter.
uint32_t Threshold(size_t length) { return static_cast<uint32_t>(length - length / 4); }

TEST(DeflateBoundTest, NeverClaimsMoreThanCompressMakes) {
  const struct {
    const char* name;
    std::function<Bytes(size_t, uint32_t)> make;
  } kinds[] = {
      {"random", [](size_t n, uint32_t s) { return Random(n, s); }},
      // Alphabets whose entropy puts the output near the threshold.
      {"alphabet 24", [](size_t n, uint32_t s) { return Random(n, s, 24); }},
      {"alphabet 48", [](size_t n, uint32_t s) { return Random(n, s, 48); }},
      {"alphabet 64", [](size_t n, uint32_t s) { return Random(n, s, 64); }},
      {"alphabet 96", [](size_t n, uint32_t s) { return Random(n, s, 96); }},
      {"alphabet 160", [](size_t n, uint32_t s) { return Random(n, s, 160); }},
      {"random with a repeated run",
       [](size_t n, uint32_t s) {
         Bytes b = Random(n, s);
         const size_t run = std::min<size_t>(n / 3, 8 + s % 40);
         const auto r = static_cast<std::ptrdiff_t>(run);
         if (n > 2 * run) std::copy(b.begin(), b.begin() + r, b.end() - r);
         return b;
       }},
      {"random, then the same again",
       [](size_t n, uint32_t s) {
         Bytes b = Random(n, s);
         const auto half = static_cast<std::ptrdiff_t>(n / 2);
         const Bytes head(b.begin(), b.end() - half);
         std::copy(head.begin(), head.end(), b.begin() + half);
         return b;
       }},
      {"random with 3-byte repeats",
       [](size_t n, uint32_t s) {
         Bytes b = Random(n, s);
         for (size_t i = 7; i + 3 < n; i += 29) std::copy_n(b.begin(), 3, b.begin() + static_cast<std::ptrdiff_t>(i));
         return b;
       }},
      // Only even positions are looked up: matches of 3 and 4 bytes whose
      // copies start at odd and at even offsets.
      {"random with 4-byte repeats at odd offsets",
       [](size_t n, uint32_t s) {
         Bytes b = Random(n, s);
         for (size_t i = 9; i + 4 < n; i += 22) std::copy_n(b.begin() + 1, 4, b.begin() + static_cast<std::ptrdiff_t>(i));
         return b;
       }},
      {"random with 3-byte repeats at odd offsets",
       [](size_t n, uint32_t s) {
         Bytes b = Random(n, s);
         for (size_t i = 5; i + 3 < n; i += 16) std::copy_n(b.begin() + 3, 3, b.begin() + static_cast<std::ptrdiff_t>(i));
         return b;
       }},
      {"random, then its head again from an odd offset",
       [](size_t n, uint32_t s) {
         Bytes b = Random(n, s);
         const auto from = static_cast<std::ptrdiff_t>((n / 3) | 1);
         if (from >= static_cast<std::ptrdiff_t>(n)) return b;
         const Bytes head(b.begin(), b.end() - from);
         std::copy(head.begin(), head.end(), b.begin() + from);
         return b;
       }},
      // The scan may stop at a prefix 64 bytes past the target: what comes
      // behind the prefix may compress to nothing, and a match may run
      // across the prefix's end.
      {"random up to about the prefix's end, then zeros",
       [](size_t n, uint32_t s) {
         Bytes b = Random(n, s);
         const size_t from = std::min<size_t>(n, Threshold(n) + 60 + s % 9);
         std::fill(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(), 0);
         return b;
       }},
      {"random, then its head again from about the prefix's end",
       [](size_t n, uint32_t s) {
         Bytes b = Random(n, s);
         const size_t from = Threshold(n) + 60 + s % 9;
         if (from >= n) return b;
         std::copy_n(b.begin(), n - from, b.begin() + static_cast<std::ptrdiff_t>(from));
         return b;
       }},
      {"random then zeros",
       [](size_t n, uint32_t s) {
         Bytes b = Random(n, s);
         std::fill(b.begin() + static_cast<std::ptrdiff_t>(n / 2), b.end(), 0);
         return b;
       }},
      {"counting", [](size_t n, uint32_t) {
         Bytes b(n);
         for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
         return b;
       }},
      {"zeros", [](size_t n, uint32_t) { return Bytes(n, 0); }},
      {"text", [](size_t n, uint32_t s) {
         static const char* kWords[] = {"GET ", "/index.html ", "HTTP/1.1\r\n", "Host: ", "the ", "fox "};
         std::mt19937 rng(s);
         std::string t;
         while (t.size() < n) t += kWords[rng() % 6];
         return Bytes(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(n));
       }},
  };
  DeflateBound bound;
  int claims = 0;
  for (const auto& kind : kinds) {
    for (const size_t n : {3, 4, 5, 20, 91, 200, 577, 1380, 1381, 1459, 1836, 4095, 4096}) {
      for (uint32_t seed = 1; seed <= 12; ++seed) {
        const Bytes data = kind.make(n, seed);
        const size_t actual = CompressedLength(data);
        for (const uint32_t target : {Threshold(n), static_cast<uint32_t>(n / 2), static_cast<uint32_t>(n),
                                      static_cast<uint32_t>(n + 6), static_cast<uint32_t>(actual),
                                      static_cast<uint32_t>(actual + 1)}) {
          if (!bound.AtLeast(data.data(), static_cast<uint32_t>(n), target)) continue;
          ++claims;
          EXPECT_GE(actual, target) << kind.name << ", " << n << " bytes, seed " << seed;
        }
      }
    }
  }
  EXPECT_GT(claims, 500);  // the table does exercise the claims
}

TEST(DeflateBoundTest, WhatOneInputLeavesBehindNeverSwaysTheNext) {
  // A bound that saw many inputs answers as a fresh one: the strings of the
  // earlier inputs never count as repeats of a later one.
  DeflateBound used;
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    const Bytes earlier = Random(1400, seed * 7919, 64);
    used.AtLeast(earlier.data(), static_cast<uint32_t>(earlier.size()), 1000);
    const Bytes data = Random(1400, seed);
    for (const uint32_t target : {1000u, 1300u, 1390u}) {
      DeflateBound fresh;
      EXPECT_EQ(used.AtLeast(data.data(), 1400, target), fresh.AtLeast(data.data(), 1400, target))
          << "seed " << seed << ", target " << target;
    }
  }
}

TEST(DeflateBoundTest, RandomPayloadsAreBoundedAndCompressibleOnesAreNot) {
  DeflateBound bound;
  for (uint32_t seed = 1; seed <= 50; ++seed) {
    for (const size_t n : {91, 300, 1000, 1380, 1381, 1460, 1836}) {
      const Bytes data = Random(n, seed);
      EXPECT_TRUE(bound.AtLeast(data.data(), static_cast<uint32_t>(n), Threshold(n))) << n << " bytes, seed " << seed;
    }
  }
  const Bytes zeros(1380, 0);
  EXPECT_FALSE(bound.AtLeast(zeros.data(), 1380, Threshold(1380)));
  const Bytes counting = [] {
    Bytes b(1380);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i);
    return b;
  }();
  EXPECT_FALSE(bound.AtLeast(counting.data(), 1380, Threshold(1380)));
  // Too short or too long to be bounded at all.
  EXPECT_FALSE(bound.AtLeast(zeros.data(), 2, 1));
  const Bytes big = Random(DeflateBound::kMaxInput + 1, 3);
  EXPECT_FALSE(bound.AtLeast(big.data(), static_cast<uint32_t>(big.size()), 10));
}

}  // namespace
}  // namespace brindleway
