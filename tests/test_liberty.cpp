// Tests of the Liberty reader and bufins-liberty: the fit of the real SKY130
// and ASAP7 buffers against an independent fit (tests/data/liberty_fit.py,
// regular expressions and the normal equations), the syntax real files use
// on a made-up library whose tables are exact lines, the cells that are not
// buffers, malformed input as file:line messages, and the program end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "io.h"
#include "liberty.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

const std::string kLiberty = BUFINS_LIBERTY_BINARY;
const std::string kCells = std::string(BUFINS_SOURCE_DIR) + "/examples/cells";

struct Dir {
  std::string path = make_temp_dir();
  ~Dir() { fs::remove_all(path); }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
};

struct Line {
  double cin, t, r;
  std::string fields;  // area= and max_cap=
};

// The buffer lines of a written library, by cell name.
std::map<std::string, Line> read_library(const std::string &text) {
  std::map<std::string, Line> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("buffer_", 0) != 0) continue;
    std::istringstream w(line);
    std::string name;
    Line l;
    w >> name >> l.cin >> l.t >> l.r;
    std::getline(w, l.fields);
    out[name.substr(7)] = l;
  }
  return out;
}

bool near(double a, double b, double rel) { return std::fabs(a - b) <= rel * std::max(std::fabs(a), std::fabs(b)); }

// bufins-liberty against the independent fit, at the default transition and
// at one between the tables' breakpoints.
void expect_independent_fit(const std::string &lib, const std::string &regex, size_t cells) {
  if (run_shell("python3 -c 'import gzip, re'").status != 0) GTEST_SKIP() << "python3 is not installed";
  for (const char *slew : {"100", "37.5"}) {
    Dir d;
    const RunResult r = run_shell("'" + kLiberty + "' --slew=" + slew + " '--cells=^(" + regex + ")$' '" + lib +
                                  "' -o '" + (d / "out.lib") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::map<std::string, Line> ours = read_library(read_file(d / "out.lib"));
    const RunResult py = run_shell("python3 '" + std::string(BUFINS_SOURCE_DIR) + "/tests/data/liberty_fit.py' '" + lib +
                                   "' " + slew + " '" + regex + "'");
    ASSERT_EQ(py.status, 0) << py.err;
    std::istringstream in(py.out);
    std::string name;
    double cin, t, res;
    size_t seen = 0;
    while (in >> name >> cin >> t >> res) {
      SCOPED_TRACE(name + " at slew " + slew);
      ASSERT_TRUE(ours.count(name));
      const Line &l = ours.at(name);
      EXPECT_TRUE(near(l.cin, cin, 1e-9)) << l.cin << " " << cin;  // exact up to the printed digits
      EXPECT_TRUE(near(l.t, t, 0.005)) << l.t << " " << t;
      EXPECT_TRUE(near(l.r, res, 0.005)) << l.r << " " << res;
      seen++;
    }
    EXPECT_EQ(seen, cells);
    EXPECT_EQ(ours.size(), cells);
  }
}

TEST(LibertyFit, Sky130BuffersMatchAnIndependentFit) {
  expect_independent_fit(kCells + "/sky130hd_tt_buffers.lib.gz", "sky130_fd_sc_hd__(clk)?buf_[0-9]+", 12);
}

TEST(LibertyFit, Asap7BufferMatchesAnIndependentFit) {
  expect_independent_fit(kCells + "/asap7_small_ff.lib.gz", "BUFx2_ASAP7_75t_R", 1);
}

// A library in ns and pF whose delay tables are exact lines in the load, so
// that the fit is known: delay = a + b x slew + R x load.
const char *kMadeUp = R"LIB(/* a made-up library: every syntax real files use */
library (made_up) {
  define (my_attr, cell, string);
  time_unit : "1ns" ;
  capacitive_load_unit (1, pf);
  pulling_resistance_unit : 1kohm   // unquoted, no semicolon
  default_operating_conditions : typical;
  operating_conditions (typical) { process : 1; voltage : 1.8; temperature : 25; }
  lu_table_template (slew_load) {
    variable_1 : input_net_transition;
    variable_2 : total_output_net_capacitance;
    index_1 ("0.01, 0.1");
    index_2 ("0.001, 0.01, 0.1");
  }
  lu_table_template (load_slew) {
    variable_1 : total_output_net_capacitance;
    variable_2 : input_net_transition;
  }
  cell (BUFA) {
    area : 2.5;
    my_attr : "x";
    pin (A) { direction : input; rise_capacitance : 0.002; fall_capacitance : 0.003; capacitance : 0.0025; }
    pin (Y) {
      direction : output; function : "(A)"; max_capacitance : 0.05;
      timing () {
        related_pin : "A";
        cell_rise (slew_load) {
          values ("0.020, 0.029, 0.119", \
                  "0.030, 0.039, 0.129");
        }
        cell_fall (slew_load) {
          values ("0.010, 0.019, 0.109", "0.020, 0.029, 0.119");
        }
      }
    }
  }
  cell (BUFB) {
    area : 4;
    pin (I) { direction : input; capacitance : 0.004; }
    pin (Z) {
      direction : output; function : "I";
      timing () {
        related_pin : "I"; timing_sense : positive_unate;
        cell_rise (load_slew) {
          index_1 ("0.0, 1.0");
          index_2 ("0.0, 1.0");
          values ("0.05, 0.15", "0.55, 0.65");
        }
        cell_fall (scalar) { values ("0.5"); }
      }
    }
  }
  cell (INVX) {
    pin (A) { direction : input; capacitance : 0.001; }
    pin (Y) { direction : output; function : "!A";
      timing () { related_pin : "A"; timing_sense : negative_unate; cell_rise (scalar) { values ("0.1"); } } }
  }
  cell (TRI) {
    pin (A) { direction : input; }
    pin (Y) { direction : output; function : "A"; three_state : "EN"; }
  }
  cell (FLOP) {
    ff (IQ, IQN) { next_state : "D"; clocked_on : "CK"; }
    pin (D) { direction : input; }
    pin (Q) { direction : output; function : "IQ"; }
  }
  cell (AND2) {
    pin (A) { direction : input; } pin (B) { direction : input; }
    pin (Y) { direction : output; function : "A&B"; }
  }
}
)LIB";

TEST(LibertyReader, SyntaxUnitsAndExactLines) {
  const liberty::Group lib = liberty::parse(kMadeUp, "made.lib");
  EXPECT_EQ(lib.type, "library");
  EXPECT_EQ(lib.name(), "made_up");
  const liberty::CellScan scan = liberty::find_buffers(lib, "made.lib");
  EXPECT_EQ(scan.corner, "typical (process 1, voltage 1.8, temperature 25)");
  EXPECT_DOUBLE_EQ(scan.units.res_ohm, 1000.0);
  ASSERT_EQ(scan.buffers.size(), 2u);
  const liberty::BufferCell &a = scan.buffers[0], &b = scan.buffers[1];
  EXPECT_EQ(a.name, "BUFA");
  EXPECT_DOUBLE_EQ(a.input_cap, 3.0);  // the larger of rise and fall, in fF
  EXPECT_DOUBLE_EQ(a.max_cap, 50.0);
  EXPECT_EQ(b.input + b.output, "IZ");
  EXPECT_DOUBLE_EQ(b.input_cap, 4.0);
  EXPECT_LT(b.max_cap, 0.0);
  // BUFA: rise = 19 ps + slew/9 ... + 1 ohm-ns/pF x load: 1 ps per fF = 1000 ohm;
  // up to 50 fF only the first two load points count.
  const liberty::Fit fa = liberty::fit_buffer(a, 55.0, 0.0, "made.lib");
  EXPECT_EQ(fa.points, 2);
  EXPECT_NEAR(fa.resistance, 1000.0, 1e-9);
  EXPECT_NEAR(fa.intrinsic, 19.0 + 10.0 * 45.0 / 90.0, 1e-9);  // the rise table, interpolated at 55 ps
  EXPECT_NEAR(fa.worst_error, 0.0, 1e-12);
  const liberty::Fit fa_all = liberty::fit_buffer(a, 10.0, 1000.0, "made.lib");
  EXPECT_EQ(fa_all.points, 3);
  // BUFB: load-major template; rise = 50 ps + 100 ps per ns of slew + 0.5 ps per fF, fall 500 ps flat.
  const liberty::Fit fb = liberty::fit_buffer(b, 1000.0, 0.0, "made.lib");
  EXPECT_NEAR(fb.intrinsic, 500.0, 1e-6);  // max(rise, fall) at loads 0 and 1000 fF: 500 and 650
  EXPECT_NEAR(fb.resistance, 150.0, 1e-6);
  std::map<std::string, std::string> why;
  for (const liberty::SkippedCell &s : scan.skipped) why[s.name] = s.reason;
  EXPECT_EQ(why["INVX"], "function Y = !A is not a copy of A");
  EXPECT_EQ(why["TRI"], "tristate output");
  EXPECT_EQ(why["FLOP"], "sequential (ff)");
  EXPECT_EQ(why["AND2"], "2 input and 1 output pins");
}

TEST(LibertyReader, MalformedInputNamesFileAndLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"library (x) {\n  a : 1;\n", "bad.lib:3: the end of the file inside group library x opened on line 1 (a '}' is missing)"},
      {"library (x) {\n  a : \"open\n}\n", "bad.lib:2: string opened here runs past the end of the line"},
      {"library (x) {\n /* never closed\n}\n", "bad.lib:2: comment opened here is never closed with */"},
      {"library (x) {\n}\n}\n", "bad.lib:3: '}' without a group to close"},
      {"library (x) {\n  a b;\n}\n", "bad.lib:2: a: expected ':' or '(' after the name, found 'b'"},
      {"library (x) {\n  a : ;\n}\n", "bad.lib:2: attribute a has no value"},
      {"library (x) {\n  f (1, 2\n", "bad.lib:2: f: the '(' on this line is never closed"},
      {"a : 1;\n", "bad.lib:1: attribute a outside any group"},
      {"/* nothing */\n", "bad.lib: no group in the file"},
  };
  for (size_t k = 0; k < cases.size(); k++) {
    SCOPED_TRACE(cases[k].first);
    try {
      liberty::parse(cases[k].first, "bad.lib");
      ADD_FAILURE() << "no error";
    } catch (const InputError &e) {
      EXPECT_EQ(std::string(e.what()).rfind(cases[k].second, 0), 0u) << e.what();
    }
  }
  std::string deep;
  for (int k = 0; k < 100000; k++) deep += "g () {\n";
  try {
    liberty::parse(deep, "deep.lib");
    ADD_FAILURE() << "no error";
  } catch (const InputError &e) {
    EXPECT_EQ(std::string(e.what()), "deep.lib:257: groups nested deeper than 256 levels");
  }
  // Cell-level faults: a table whose values do not fit its indices, a unit
  // that is none, a number that is none.
  const std::string head = "library (x) {\n  lu_table_template (t) { variable_1 : total_output_net_capacitance; index_1 (\"1, 2\"); }\n";
  auto cell = [](const std::string &cap, const std::string &values) {
    return "  cell (B) { pin (A) { direction : input; capacitance : " + cap + "; }\n"
           "    pin (Y) { direction : output; function : \"A\";\n"
           "      timing () { related_pin : \"A\"; cell_rise (t) { values (\"" + values + "\"); } } } }\n}\n";
  };
  const std::vector<std::pair<std::string, std::string>> cells = {
      {head + cell("1", "1, 2, 3"), "bad.lib:5: cell_rise: 3 values where the indices call for 2"},
      {head + "  time_unit : \"3 parsecs\";\n" + cell("1", "1, 2"), "bad.lib:3: time_unit: '3 parsecs' is not a time unit"},
      {head + cell("one", "1, 2"), "bad.lib:3: capacitance: 'one' is not a number"},
  };
  for (const auto &c : cells) {
    SCOPED_TRACE(c.first);
    try {
      liberty::find_buffers(liberty::parse(c.first, "bad.lib"), "bad.lib");
      ADD_FAILURE() << "no error";
    } catch (const InputError &e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.second, 0), 0u) << e.what();
    }
  }
}

TEST(LibertyEndToEnd, ProgramListsWritesAndRefuses) {
  Dir d;
  write_file(d / "made.lib", kMadeUp);
  RunResult r = run_shell("'" + kLiberty + "' --version");
  EXPECT_EQ(r.out, "bufins-liberty " BUFINS_VERSION "\n");
  r = run_shell("cd '" + d.path + "' && '" + kLiberty + "' made.lib --list --slew=10 --area-scale=2");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("buffer  BUFA (line 19): A -> Y, input 3 fF"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("skipped FLOP (line "), std::string::npos);
  EXPECT_NE(r.out.find("2 buffer cells, 4 other cells"), std::string::npos);
  // The library reads back through bufins' own reader.
  r = run_shell("cd '" + d.path + "' && '" + kLiberty + "' made.lib --cells=A$ --slew=10 -o out.lib");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string lib = read_file(d / "out.lib");
  EXPECT_NE(lib.find("\nbuffer_BUFA 3 19 1000 area=25 max_cap=50\n"), std::string::npos) << lib;  // area 2.5 x 10
  EXPECT_EQ(lib.find("BUFB"), std::string::npos);
  reset_globals();
  File f = open_file((d / "out.lib").c_str(), "r");
  InputLib(f.get(), "out.lib");
  EXPECT_EQ(n_buffertype, 1);
  EXPECT_DOUBLE_EQ(rb[0], 1000.0);
  // --exact-areas: the area as the file gives it, read back in its decimals;
  // the shipped SKY130 library is what it writes.
  r = run_shell("cd '" + d.path + "' && '" + kLiberty + "' made.lib --cells=A$ --slew=10 --exact-areas -o exact.lib");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(read_file(d / "exact.lib").find("\nbuffer_BUFA 3 19 1000 area=2.5 max_cap=50\n"), std::string::npos);
  reset_globals();
  File exact = open_file((d / "exact.lib").c_str(), "r");
  InputLib(exact.get(), "exact.lib");
  EXPECT_EQ(buffer_area_decimals, 1);
  EXPECT_EQ(buffer_area[0], 25);
  r = run_shell("cd '" + std::string(BUFINS_SOURCE_DIR) + "' && '" + kLiberty +
                "' examples/cells/sky130hd_tt_buffers.lib.gz --exact-areas '--cells=__buf_[0-9]+$'");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string shipped = read_file(kCells + "/sky130hd_buffers.lib");
  EXPECT_EQ(r.out.substr(r.out.find('\n')), shipped.substr(shipped.find('\n')));  // but the version line
  // Refusals: nothing matched, malformed input, a usage error; out.lib stays.
  r = run_shell("cd '" + d.path + "' && '" + kLiberty + "' made.lib --cells=nothing -o out.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "made.lib: no buffer cell matches --cells (--list says why each cell is not taken)\n");
  write_file(d / "bad.lib", "library (x) {\n  cell (a) {\n");
  r = run_shell("cd '" + d.path + "' && '" + kLiberty + "' bad.lib -o out.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("bad.lib:3: the end of the file inside group cell a", 0), 0u) << r.err;
  r = run_shell("cd '" + d.path + "' && '" + kLiberty + "' made.lib --slew=-1");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bufins-liberty: --slew: '-1' is not a number >= 0"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(d / "out.lib"), lib);
  r = run_shell("cd '" + d.path + "' && '" + kLiberty + "' missing.lib");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "missing.lib: cannot open: No such file or directory\n");
}

}  // namespace
