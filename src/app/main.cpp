// bufins driver: command line and prompts (cli.*), reading, one algorithm run
// under a user-CPU-time measurement, the output files and the run report.
//
// Exit status: 0 for a normal run, 1 for a usage error, a file that cannot be
// opened, an output that would replace an input, any input error, or a failed
// write; 2 when no buffer assignment meets the electrical limits. Outputs go
// through output_file.h: a failed run leaves every file as it was.
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "cmdline.h"
#include "def.h"
#include "io.h"
#include "expiration_list.h"
#include "fastins.h"
#include "solve.h"
#include "stage_limits.h"
#include "text_format.h"
#include "output_file.h"
#include "frontier.h"
#include "tree.h"
#include "van.h"

namespace {

double megabytes(double bytes) { return static_cast<float>(bytes) / 1048576.0f; }

// An output's name: the net file's name, or --out's base given a '.' of its
// own to be replaced, with what follows its last '.' replaced by `suffix`.
std::string output_name(const Options &opt, const char *suffix) {
  std::string name = opt.out_base.empty() ? opt.netname : opt.out_base + ".net";
  replace_extension(name, suffix);
  return name;
}

// Before anything is read or written: true, after saying why, when an output
// would replace an input or an earlier output.
bool outputs_replace_files(const Options &opt) {
  std::vector<RunFile> inputs{{opt.netname, "net file"}, {opt.libname, "library file"}};
  const std::vector<RunFile> named{{output_name(opt, "finalnet"), "final net", true},
                                   {output_name(opt, "buf"), "placement file", true}};
  std::string why = replaced_file(inputs, named);
  const char *advice = "choose other output names with --out=BASE";
  if (why.empty()) {
    inputs.insert(inputs.end(), named.begin(), named.end());
    why = replaced_file(inputs, {{opt.json, "JSON report"}});
    advice = "choose another name with --json=FILE";
  }
  if (why.empty()) {
    inputs.push_back({opt.json, "JSON report", true});
    why = replaced_file(inputs, {{opt.frontier_csv, "frontier CSV"}});
    advice = "choose another name with --frontier=FILE";
  }
  if (why.empty()) return false;
  std::fprintf(stderr, "bufins: %s; %s\n", why.c_str(), advice);
  return true;
}

int report_output_error(const OutputError &e) {
  std::fflush(stdout);
  if (e.kind == OutputError::CANNOT_CREATE)
    std::fprintf(stderr, "Cannot open file: %s%s%s\n", e.name.c_str(), e.error ? ": " : "",
                 e.error ? std::strerror(e.error) : "");
  else
    std::fprintf(stderr, "bufins: %s\n", e.what());
  return 1;
}

// A target or budget that no solution meets: why, on standard error, and
// status 2 (the outputs of the maximum slack at its least cost are written).
int report_unmet_goal(const bufins::Options &request, const std::vector<FrontierPoint> &points, int area_decimals) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", bufins::unmet_goal_message(request, points, area_decimals).c_str());
  return 2;
}

// The flat family's request: the objective of the cost options, the -o
// listing (with -d, each candidate's placements).
bufins::Options flat_options(const Options &opt, const bufins::Library &library) {
  bufins::Options o;
  switch (opt.cost.kind) {
    case CostObjective::NONE: o.objective = bufins::Objective::max_slack; break;
    case CostObjective::MIN_COST: o.objective = bufins::Objective::min_cost; break;
    case CostObjective::TARGET: o.objective = bufins::Objective::target; break;
    case CostObjective::BUDGET: o.objective = bufins::Objective::budget; break;
    case CostObjective::WITHIN: o.objective = bufins::Objective::within; break;
    case CostObjective::WITHIN_PERCENT: o.objective = bufins::Objective::within_percent; break;
  }
  o.target = o.within = opt.cost.slack;
  o.cost_tolerance = opt.cost_tolerance;
  if (opt.cost.kind == CostObjective::BUDGET) o.budget = budget_in_units(opt.budget, library.area_decimals);
  o.candidates = opt.output != 0;
  o.candidate_placements = opt.output != 0 && debug != 0;
  o.stages = !opt.json.empty();  // only the JSON report lists them
  // A frontier that outgrows the machine stops with a message rather than
  // being killed: by default at three quarters of the physical memory.
  double mib = static_cast<double>(opt.max_memory_mib);
  if (opt.max_memory_mib < 0)
    mib = 0.75 * static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
          1048576.0;
  o.memory_limit = mib * 1048576.0;
  // The progress line of a terminal (cli.cpp) follows the engine's count.
  if (progress_next != LLONG_MAX)
    o.progress_levels = [](long long done, long long, long long levels) {
      progress_count = done;
      progress_levels = levels;
      progress_report();
      return true;
    };
  return o;
}

// The flat family's -o listing: each candidate's line on standard output
// and, with -d, its placements on `placements`.
void print_candidates(const bufins::Result &r, FILE *placements) {
  if (r.candidates.empty()) {
    std::printf("empty tree\n");
    return;
  }
  for (const bufins::Candidate &x : r.candidates) {
    std::printf("\tq=%10.20f\tc=%10.10f\n", x.required, x.load);
    if (debug) {
      if (r.driver_drives_sink) std::fprintf(placements, "empty tree\n");
      for (const bufins::Placement &p : x.placements)
        write_placement(placements, p.start, p.end, p.type);
    }
  }
}

void print_placements(const bufins::Result &r, FILE *placements) {
  if (r.empty_tree) std::fprintf(placements, "empty tree\n");
  for (const bufins::Placement &p : r.placements)
    write_placement(placements, p.start, p.end, p.type);
}

void write_frontier_csv(FILE *out, const std::vector<FrontierPoint> &points, int area_decimals) {
  std::fprintf(out, "cost,buffers,slack\n");
  for (const FrontierPoint &p : points)
    std::fprintf(out, "%s,%d,%.15g\n", bufins::cost_text(p.cost, area_decimals).c_str(), p.buffers, p.slack);
}

}  // namespace

// The whole run; the readers' input errors (InputError) travel out of it to main.
static int run(int argc, char **argv) {
  int number_of_buffers = 0;
  reset_globals();
  Options opt = parse_command_line(argc, argv);
  if (opt.action == ACTION_HELP) return print_help();
  if (opt.action == ACTION_VERSION) return print_version();
  if (outputs_replace_files(opt)) return 1;
  // An output on standard output: the report lines go to standard error.
  send_report_lines_to_stderr({output_name(opt, "finalnet"), output_name(opt, "buf"), opt.json, opt.frontier_csv});
  const int output = opt.output, t = opt.timing;
  filename = opt.netname;
  const std::string &libname = opt.libname;

  const Engine engine = opt.engine == ENGINE_ASK ? ask_engine() : opt.engine;
  const bool use_van = engine == ENGINE_LIST;
  const bool use_flat = engine == ENGINE_FLAT;
  // The cost options run the cost-aware programme in place of the flat engine.
  const bool use_cost = use_flat && opt.cost.kind != CostObjective::NONE;
  bufins::Options flat_request;
  bufins::Result flat_result;
  const std::vector<FrontierPoint> &points = flat_result.frontier;

  WarningPrinter warnings(opt.quiet);
  const Warn warn = [&warnings](const std::string &text) { warnings.print(text); };
  const bufins::Library library = read_library_model(opt.lib.get(), libname, warn);
  install_library(library);
  std::vector<std::string> buffer_names;
  if (!opt.json.empty()) buffer_names = library_names(opt.lib.get());
  opt.lib.reset();
  fp = opt.net.get();
  int segments = opt.segments;
  const bufins::Net net = input_model(filename, &segments, warn);
  // The list and fast engines, the routing-tree listing (-d) and the JSON
  // report read the global tables; a plain flat run reads only the model.
  Node *root = !use_flat || debug == 1 || !opt.json.empty() ? install_net(net) : nullptr;
  const bool with_limits = limits_in_force(flat_core::Tables(net, library), opt.limits);
  if (!use_flat && with_limits)
    warnings.print(std::string("bufins: warning: the ") + engine_name(engine) +
                   " algorithm ignores the max_cap fields of the library and the driver line; -a flat meets them");
  warnings.finish();
  opt.net.reset();
  // Debug placement lines written while the algorithm runs go to standard
  // output, under the candidate they belong to.
  fp = stdout;

  // Stands for "no winner yet": when no candidate at the driver beats the
  // minus-infinity start, the winner's trace counts as empty. It is the
  // driver's own record, not one the algorithms make, so the memory counters
  // do not see it.
  Comp no_winner{nullptr, nullptr, 0, 0, 0, 0};
  Comp *placeholder = &no_winner;
  std::vector<double> k;
  RTnode *rt[MAX_BUFFERTYPES + 1] = {};
  RTnode *swap_list[MAX_BUFFERTYPES + 1] = {};
  if (use_van) {
    final_location_van = placeholder;
  } else if (!use_flat) {
    if (n_buffertype == 0)
      fatal("%s holds no buffer type: the fast algorithm needs at least one (the list algorithm accepts an empty "
            "library)",
            libname.c_str());
    nil_make();
    final_location_fastins = placeholder;
    k.assign(n_buffertype, 0.0);
  }

  if (debug == 1) ntree_print(root);

  // The output files are temporaries from here until commit_outputs at the
  // end of the run (write errors show there). They are made before the
  // algorithm runs, so a folder that cannot take them fails the run early.
  const std::string finalnet = output_name(opt, "finalnet");
  OutputFile final_net(finalnet);
  filename = output_name(opt, "buf");
  OutputFile placement(filename);
  std::optional<OutputFile> frontier_csv;
  if (use_cost && !opt.frontier_csv.empty()) frontier_csv.emplace(opt.frontier_csv);
  std::optional<OutputFile> json;
  if (!opt.json.empty()) json.emplace(opt.json);

  if (root != nullptr)
    progress_start(root);
  else
    progress_start_wires(static_cast<long long>(net.nodes.size()) - 1);
  const double cpu_before = process_cpu_seconds();
  getrusage(RUSAGE_SELF, &timestuff);
  stime = timestuff.ru_utime.tv_sec;
  utime = timestuff.ru_utime.tv_usec;
  RLnode *result = nullptr;
  if (use_van) {
    result = van(root);
  } else if (use_flat) {
    // The flat family (limits, cost options) through the library; limits
    // that cannot bind on this net leave the run limit-free.
    flat_request = flat_options(opt, library);
    flat_result = bufins::solve_with_limits(net, library, flat_request, opt.limits);
    if (!flat_result.feasible) {
      progress_stop();
      // No assignment meets the limits: nothing is written.
      std::fflush(stdout);
      std::fprintf(stderr, "bufins: the request cannot be met: %s\n", flat_result.reason.c_str());
      return 2;
    }
    const bufins::Memory &m = flat_result.memory;
    total_solution = m.solutions_opened;
    reduce_solution = m.solutions_freed;
    m_used = m.traces_opened;
    m_reduced = m.traces_freed;
    max_space = m.peak;
  } else {
    fastins(k.data(), root, rt, swap_list);
  }
  getrusage(RUSAGE_SELF, &timestuff);
  double algorithm_time = static_cast<double>(timestuff.ru_utime.tv_sec - stime) +
                          static_cast<double>(timestuff.ru_utime.tv_usec - utime) * 1e-06;
  const double algorithm_cpu_time = process_cpu_seconds() - cpu_before;
  progress_stop();

  if (use_flat)
    write_final_net(net, final_net.stream());
  else
    Printoutput(root, final_net.stream());
  fp = placement.stream();

  if (output) {
    std::printf("Nonredundant qc list before the source node:\n");
    if (use_van)
      print(result);
    else if (use_flat)
      print_candidates(flat_result, fp);
    else
      travel(rt[fastins_trees - 1]);
    std::printf("The number of nodes %d\n", use_flat ? net.candidates() : n_candidates);
  }

  // With -o -d the listing above has written placements too: the winner's
  // start here.
  const long winner_from = std::ftell(placement.stream());
  double slack;
  if (use_van) {
    slack = van_answer;
    std::printf("The slack after buffer insertion : %10.10g\n", slack);
    Comp *winner = final_location_van == placeholder ? nullptr : final_location_van;
    printbuffer(winner, &number_of_buffers);
    list_delete(result);
  } else if (use_flat) {
    slack = flat_result.slack;
    std::printf("The slack after buffer insertion : %10.10g\n", slack);
    print_placements(flat_result, fp);
    number_of_buffers = flat_result.buffers;
  } else {
    slack = fastins_answer;
    std::printf("The slack after buffer insertion : %10.10g\n", slack);
    Comp *winner = final_location_fastins == placeholder ? nullptr : final_location_fastins;
    printbuffer_fastins(winner, &number_of_buffers);
    for (int i = fastins_trees - 1; i >= 0; i--) {
      tree_delete(rt[i]);
      tree_delete_swap(swap_list[i]);
    }
  }

  if (output) {
    std::printf("the memory of solutions opened are %fM bytes \n", megabytes(total_solution));
    std::printf("the memory of solutions freezed are %fM bytes \n", megabytes(reduce_solution));
    std::printf("the memory of composition opened are %fM bytes \n", megabytes(m_used));
    std::printf("the memory of composition freezed are %fM bytes \n", megabytes(m_reduced));
  }
  std::printf("The number of inserted buffer is : %d\n", number_of_buffers);
  const long long cost = flat_result.cost;
  if (use_cost)
    std::printf("The cost of the inserted buffers is : %s\n", bufins::cost_text(cost, library.area_decimals).c_str());
  if (!(slack > MINUS_INFINITY_TIME)) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "bufins: no buffer assignment reaches the driver with a finite slack: the slack printed is the "
                 "start value and the placement file says \"empty tree\"\n");
  }
  fp = stdout;
  placement.close();
  if (t) {
    std::printf("Maximum memory usage is %fM bytes \n", megabytes(max_space));
    std::printf("Algorithm time is : %f seconds\n", algorithm_time);
  }
  if (!use_van && !use_flat) nil_free();

  if (frontier_csv) write_frontier_csv(frontier_csv->stream(), points, library.area_decimals);
  if (json) {
    RunSummary run{opt.netname,      libname,        finalnet,          filename,
                   placement.path(), engine,         segments,          slack,
                   number_of_buffers, winner_from,   algorithm_time,    algorithm_cpu_time,
                   buffer_names,     -1,             nullptr,           -1,
                   false,            opt.limits};
    if (use_cost) {
      run.cost = cost;
      if (!opt.frontier_csv.empty()) run.frontier = &points;
      run.chosen = flat_result.chosen;
    }
    run.with_limits = use_flat && with_limits;
    run.limits = opt.limits;
    run.stages = &flat_result.stages;
    run.area_decimals = library.area_decimals;
    run.cost_tolerance = opt.cost_tolerance;
    run.cost_unit = flat_result.cost_unit;
    if (!write_json_report(*json, run)) return 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    // A run whose report is lost has failed: its outputs are discarded.
    std::fprintf(stderr, "bufins: cannot write the report to standard output\n");
    return 1;
  }
  commit_outputs({&final_net, &placement, json ? &*json : nullptr, frontier_csv ? &*frontier_csv : nullptr});
  if (use_cost && !flat_result.goal_met) return report_unmet_goal(flat_request, points, library.area_decimals);
  return 0;
}

int main(int argc, char **argv) {
  guard_standard_streams();
  try {
    return run(argc, argv);
  } catch (const cmdline::UsageError &e) {
    return print_usage_error(argv[0], e.what());
  } catch (const InputError &e) {
    return report_input_error(e);
  } catch (const OutputError &e) {
    return report_output_error(e);
  } catch (const bufins::MemoryLimitExceeded &e) {
    progress_stop();
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const std::bad_alloc &) {
    std::fflush(stdout);
    std::fprintf(stderr, "bufins: out of memory\n");
    return 1;
  }
}
