// Number text of the writers and readers against the C library and the JSON
// library they stand in for, on random doubles: every printf-free formatter
// gives printf's bytes, every text the readers take gives strtod's value and
// end, texts that promise a round trip read back bit for bit, and the
// streamed JSON writer prints what nlohmann's document tree prints.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "io.h"
#include "json_writer.h"
#include "text_format.h"

namespace {

// Doubles of every kind the files hold: any bit pattern (subnormals, huge,
// non-finite), short decimals as typed into files, binary fractions and
// whole numbers.
double random_double(std::mt19937_64 &rng, int kind) {
  const uint64_t bits = rng();
  double v;
  switch (kind % 5) {
    case 0:
      std::memcpy(&v, &bits, sizeof v);
      return v;
    case 1: {  // up to 12 digits with up to 8 decimals, as coordinates are written
      const double m = static_cast<double>(static_cast<int64_t>(bits % 1000000000000ULL) - 500000000000LL);
      return m / std::pow(10.0, static_cast<double>(rng() % 9));
    }
    case 2:
      return std::ldexp(static_cast<double>(bits >> 11), static_cast<int>(rng() % 160) - 100);
    case 3: {  // whole numbers (grid coordinates), either sign, zero, around 10^15
      const double m = static_cast<double>(bits >> (11 + rng() % 53));
      const double w = rng() % 8 == 0 ? 1e15 + static_cast<double>(static_cast<int>(rng() % 5) - 2) : m;
      return bits % 2 ? -w : w;
    }
    default: {  // a decimal of 1 to 17 digits, read as the files' readers read it
      char text[48];
      std::snprintf(text, sizeof text, "%.*e", static_cast<int>(rng() % 17),
                    std::ldexp(static_cast<double>(bits >> 11), static_cast<int>(rng() % 120) - 80));
      return std::strtod(text, nullptr);
    }
  }
}

std::string printed(const char *format, double v) {
  char text[400];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(NumberText, FormattersGivePrintfBytes) {
  std::mt19937_64 rng(33);
  char out[FIXED6_MAX_CHARS + GENERAL15_MAX_CHARS];
  for (int i = 0; i < 400000; i++) {
    const double v = random_double(rng, i);
    ASSERT_EQ(std::string(out, format_fixed6(out, v)), printed("%f", v)) << i;
    ASSERT_EQ(std::string(out, format_general15(out, v)), printed("%.15g", v)) << i;
  }
  // Placement lines, as the engines wrote them with fprintf.
  FILE *mine = std::tmpfile();
  FILE *theirs = std::tmpfile();
  ASSERT_TRUE(mine && theirs);
  for (int i = 0; i < 2000; i++) {
    const int s = static_cast<int>(rng()), e = static_cast<int>(rng() % 100000), t = static_cast<int>(rng() % 65);
    write_placement(mine, s, e, t);
    std::fprintf(theirs, "start %d  end %d  buffertype %d\n", s, e, t);
  }
  auto text = [](FILE *f) {
    std::string all;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) all.push_back(static_cast<char>(c));
    std::fclose(f);
    return all;
  };
  EXPECT_EQ(text(mine), text(theirs));
}

TEST(NumberText, ReadersGiveStrtodValuesAndRoundTripsHold) {
  std::mt19937_64 rng(34);
  for (int i = 0; i < 200000; i++) {
    const double v = random_double(rng, i);
    if (!std::isfinite(v)) continue;
    char json[JsonWriter::kNumberRoom];
    const std::string texts[] = {printed("%.17g", v), printed("%f", v), printed("%.15g", v), printed("%.3f", v),
                                 std::string(json, JsonWriter::format_number(json, v))};
    for (size_t k = 0; k < sizeof texts / sizeof *texts; k++) {
      const std::string &t = texts[k];
      char *stop;
      const double expected = std::strtod(t.c_str(), &stop);
      double got;
      const char *end = parse_real(t.data(), t.data() + t.size(), &got);
      ASSERT_TRUE(same_bits(got, expected)) << t;
      ASSERT_EQ(end - t.data(), stop - t.c_str()) << t;
      // %.17g and the JSON text promise the value itself.
      if (k == 0 || k == 4) {
        ASSERT_TRUE(same_bits(got, v)) << t;
      }
    }
  }
}

TEST(NumberText, StreamedJsonIsTheDocumentTreesText) {
  std::mt19937_64 rng(35);
  for (int doc = 0; doc < 300; doc++) {
    FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    // Small blocks on some documents, so that text crosses block ends.
    JsonWriter w(f, doc % 2 ? 0 : 1 << 20);
    auto key = [&w](int k) {
      switch (k) {
        case 0: w.key("k0"); break;
        case 1: w.key("k1"); break;
        case 2: w.key("k2"); break;
        default: w.key("k3"); break;
      }
    };
    // Random nesting, built as a tree and written as a stream side by side.
    std::function<nlohmann::ordered_json(int)> value = [&](int depth) -> nlohmann::ordered_json {
      switch (rng() % (depth < 5 ? 8 : 6)) {
        case 0: {
          const double v = random_double(rng, static_cast<int>(rng() % 5));
          w.number(v);
          return v;
        }
        case 1: {
          const long long v = static_cast<long long>(rng()) >> (rng() % 64);
          w.integer(v);
          return v;
        }
        case 2: {
          const bool b = rng() % 2;
          w.boolean(b);
          return b;
        }
        case 3:
          w.null();
          return nullptr;
        case 4:
        case 5: {
          // Bytes of any value: control characters, quotes, invalid UTF-8.
          std::string s;
          for (int n = static_cast<int>(rng() % 6); n > 0; n--) s.push_back(static_cast<char>(rng() % 256));
          w.string(s);
          return s;
        }
        case 6: {
          nlohmann::ordered_json a = nlohmann::ordered_json::array();
          w.begin_array();
          for (int n = static_cast<int>(rng() % 4); n > 0; n--) a.push_back(value(depth + 1));
          w.end_array();
          return a;
        }
        default: {
          nlohmann::ordered_json o = nlohmann::ordered_json::object();
          w.begin_object();
          for (int k = 0, n = static_cast<int>(rng() % 5); k < n; k++) {
            key(k);
            o["k" + std::to_string(k < 3 ? k : 3)] = value(depth + 1);
          }
          w.end_object();
          return o;
        }
      }
    };
    const nlohmann::ordered_json tree = value(0);
    ASSERT_TRUE(w.finish());
    std::string streamed;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) streamed.push_back(static_cast<char>(c));
    std::fclose(f);
    ASSERT_EQ(streamed, tree.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n") << doc;
  }
}
