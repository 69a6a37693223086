// bufins driver: command line and prompts (cli.*), reading, one algorithm run
// under a user-CPU-time measurement, the output files and the run report.
//
// Exit status: 0 for a normal run, 1 for a usage error, a file that cannot be
// opened, any input error, or a failed write; a failed run removes the output
// files it has written.
#include <sys/resource.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "def.h"
#include "io.h"
#include "expiration_list.h"
#include "fastins.h"
#include "flat.h"
#include "frontier.h"
#include "tree.h"
#include "van.h"

namespace {

double megabytes(double bytes) { return static_cast<float>(bytes) / 1048576.0f; }

void remove_outputs(const std::vector<std::string> &names) {
  for (const std::string &name : names) std::remove(name.c_str());
}

// A target or budget that no solution meets: why, on standard error, and
// status 2 (the outputs of the maximum slack at its least cost are written).
int report_unmet_goal(const CostGoal &goal, const std::vector<FrontierPoint> &points) {
  std::fflush(stdout);
  if (points.empty())
    std::fprintf(stderr, "bufins: no solution beats minus infinity, so none meets the %s\n",
                 goal.kind == CostObjective::TARGET ? "target" : "budget");
  else if (goal.kind == CostObjective::TARGET)
    std::fprintf(stderr, "bufins: no solution reaches the target slack %.10g: the best slack reachable is %.10g (cost %lld)\n",
                 goal.slack, points.back().slack, points.back().cost);
  else
    std::fprintf(stderr, "bufins: no solution costs at most %lld: the least cost is %lld (slack %.10g)\n", goal.budget,
                 points.front().cost, points.front().slack);
  return 2;
}

}  // namespace

// The whole run; the readers' input errors (InputError) travel out of it to main.
static int run(int argc, char **argv) {
  int number_of_buffers = 0;
  reset_globals();
  Options opt = parse_command_line(argc, argv);
  const int output = opt.output, t = opt.timing;
  filename = opt.netname;
  const std::string &libname = opt.libname;

  const Engine engine = opt.engine == ENGINE_ASK ? ask_engine() : opt.engine;
  const bool use_van = engine == ENGINE_LIST;
  const bool use_flat = engine == ENGINE_FLAT;
  // The cost options run the cost-aware programme in place of the flat engine.
  const bool use_cost = use_flat && opt.cost.kind != CostObjective::NONE;
  std::unique_ptr<CostFrontier> frontier;
  std::vector<FrontierPoint> points;
  CostChoice choice;

  InputLib(opt.lib.get(), libname);
  std::vector<std::string> buffer_names;
  if (!opt.json.empty()) buffer_names = library_names(opt.lib.get());
  opt.lib.reset();
  fp = opt.net.get();
  int segments = opt.segments;
  Node *root = Input(filename, &segments);
  opt.net.reset();
  // The output names are derived from filename by replacing what follows its
  // last '.': a base given with --out gets a '.' of its own to be replaced.
  if (!opt.out_base.empty()) filename = opt.out_base + ".net";
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

  progress_start(root);
  getrusage(RUSAGE_SELF, &timestuff);
  stime = timestuff.ru_utime.tv_sec;
  utime = timestuff.ru_utime.tv_usec;
  RLnode *result = nullptr;
  if (use_van)
    result = van(root);
  else if (use_cost) {
    frontier = std::make_unique<CostFrontier>();
    frontier->run(root);
    points = frontier->points();
    choice = choose_point(points, opt.cost);
  } else if (use_flat)
    flat(root);
  else
    fastins(k.data(), root, rt, swap_list);
  getrusage(RUSAGE_SELF, &timestuff);
  double algorithm_time = static_cast<double>(timestuff.ru_utime.tv_sec - stime) +
                          static_cast<double>(timestuff.ru_utime.tv_usec - utime) * 1e-06;
  progress_stop();

  Printoutput(root);
  const std::string finalnet = filename;
  replace_extension(filename, "buf");
  File placement(std::fopen(filename.c_str(), "w"), &std::fclose);
  if (!placement) {
    // A run that fails leaves no output behind.
    std::remove(finalnet.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "Cannot open file: %s\n", filename.c_str());
    std::exit(1);
  }
  fp = placement.get();

  if (output) {
    std::printf("Nonredundant qc list before the source node:\n");
    if (use_van)
      print(result);
    else if (use_cost)
      frontier->print_list(choice.point);
    else if (use_flat)
      flat_print_list();
    else
      travel(rt[fastins_trees - 1]);
    std::printf("The number of nodes %d\n", n_candidates);
  }

  // With -o -d the listing above has written placements too: the winner's
  // start here.
  const long winner_from = std::ftell(placement.get());
  double slack;
  if (use_van) {
    slack = van_answer;
    std::printf("The slack after buffer insertion : %10.10g\n", slack);
    Comp *winner = final_location_van == placeholder ? nullptr : final_location_van;
    printbuffer(winner, &number_of_buffers);
    list_delete(result);
  } else if (use_cost) {
    slack = choice.point >= 0 ? points[static_cast<size_t>(choice.point)].slack : MINUS_INFINITY_TIME;
    std::printf("The slack after buffer insertion : %10.10g\n", slack);
    frontier->write_placements(choice.point, &number_of_buffers);
    frontier.reset();
  } else if (use_flat) {
    slack = flat_answer;
    std::printf("The slack after buffer insertion : %10.10g\n", slack);
    flat_printbuffer(&number_of_buffers);
    flat_free();
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
  const long long cost = choice.point >= 0 ? points[static_cast<size_t>(choice.point)].cost : 0;
  if (use_cost) std::printf("The cost of the inserted buffers is : %lld\n", cost);
  fp = stdout;
  std::vector<std::string> outputs{finalnet, filename};
  if (std::ferror(placement.get()) || std::fclose(placement.release()) != 0) {
    remove_outputs(outputs);
    fatal("cannot write %s", filename.c_str());
  }
  if (t) {
    std::printf("Maximum memory usage is %fM bytes \n", megabytes(max_space));
    std::printf("Algorithm time is : %f seconds\n", algorithm_time);
  }
  if (!use_van && !use_flat) nil_free();

  if (use_cost && !opt.frontier_csv.empty()) {
    const std::string why = write_frontier_csv(opt.frontier_csv, points);
    if (!why.empty()) {
      remove_outputs(outputs);
      fatal("%s", why.c_str());
    }
    if (opt.frontier_csv != "-") outputs.push_back(opt.frontier_csv);
  }
  if (!opt.json.empty()) {
    RunSummary run{opt.netname, libname,          finalnet,       filename,       engine,
                   segments,    slack,            number_of_buffers, winner_from, algorithm_time,
                   buffer_names};
    if (use_cost) {
      run.cost = cost;
      if (!opt.frontier_csv.empty()) run.frontier = &points;
      run.chosen = choice.point;
    }
    if (!write_json_report(opt.json, run)) {
      remove_outputs(outputs);
      return 1;
    }
    outputs.push_back(opt.json);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    // A run whose report is lost has failed: it leaves no output behind.
    remove_outputs(outputs);
    std::fprintf(stderr, "bufins: cannot write the report to standard output\n");
    return 1;
  }
  if (use_cost && !choice.met) return report_unmet_goal(opt.cost, points);
  return 0;
}

int main(int argc, char **argv) {
  guard_standard_streams();
  try {
    return run(argc, argv);
  } catch (const InputError &e) {
    return report_input_error(e);
  }
}
