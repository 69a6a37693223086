// bufins driver: command line, prompts, reading, one algorithm run under a
// user-CPU-time measurement, the output files and the run report.
//
// Exit status: 0 for a normal run, 1 for a usage error, a file that cannot be
// opened, or any input error.
#include <getopt.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "def.h"
#include "io.h"
#include "expiration_list.h"
#include "fastins.h"
#include "tree.h"
#include "van.h"

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

File open_file(const char *name, const char *mode) {
  File f(std::fopen(name, mode), &std::fclose);
  if (!f) {
    std::fflush(stdout);
    std::fprintf(stderr, "Cannot open file: %s\n", name);
    std::exit(1);
  }
  return f;
}

[[noreturn]] void usage(const char *program) {
  std::fflush(stdout);
  std::fprintf(stderr, "Usage: %s -f netfile -b libraryfile [-d] [-t] [-o]\n", program);
  std::exit(1);
}

double megabytes(double bytes) { return static_cast<float>(bytes) / 1048576.0f; }

}  // namespace

// The whole run; the readers' input errors (InputError) travel out of it to main.
static int run(int argc, char **argv) {
  int output = 0, t = 0, number_of_buffers = 0;
  reset_globals();
  if (argc < 4) usage(argv[0]);

  File net(nullptr, &std::fclose);
  File lib(nullptr, &std::fclose);
  std::string libname;
  int opt;
  while ((opt = getopt(argc, argv, "f:b:tod")) != -1) {
    switch (opt) {
      case 'f':
        net = open_file(optarg, "r");
        filename = optarg;
        break;
      case 'b':
        lib = open_file(optarg, "r");
        libname = optarg;
        break;
      case 't':
        t = 1;
        break;
      case 'o':
        output = 1;
        break;
      case 'd':
        debug = 1;
        break;
      default:
        usage(argv[0]);
    }
  }
  if (!net || !lib) usage(argv[0]);

  std::printf("Van Ginneken (1) or FBI ( Fast Buffer Insertion) (2)? ");
  // Any answer but the integer 1, none or one too large for an int included,
  // selects the fast algorithm.
  int choice = 0;
  bool use_van = read_answer(&choice) == ANSWER_INT && choice == 1;

  InputLib(lib.get(), libname);
  lib.reset();
  fp = net.get();
  Node *root = Input(filename);
  net.reset();
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
  } else {
    if (n_buffertype == 0)
      fatal("%s holds no buffer type: the fast algorithm needs at least one (the list algorithm accepts an empty "
            "library)",
            libname.c_str());
    nil_make();
    final_location_fastins = placeholder;
    k.assign(n_buffertype, 0.0);
  }

  if (debug == 1) ntree_print(root);

  getrusage(RUSAGE_SELF, &timestuff);
  stime = timestuff.ru_utime.tv_sec;
  utime = timestuff.ru_utime.tv_usec;
  RLnode *result = nullptr;
  if (use_van)
    result = van(root);
  else
    fastins(k.data(), root, rt, swap_list);
  getrusage(RUSAGE_SELF, &timestuff);
  double algorithm_time = static_cast<double>(timestuff.ru_utime.tv_sec - stime) +
                          static_cast<double>(timestuff.ru_utime.tv_usec - utime) * 1e-06;

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
    else
      travel(rt[fastins_trees - 1]);
    std::printf("The number of nodes %d\n", n_candidates);
  }

  if (use_van) {
    std::printf("The slack after buffer insertion : %10.10g\n", van_answer);
    Comp *winner = final_location_van == placeholder ? nullptr : final_location_van;
    printbuffer(winner, &number_of_buffers);
    list_delete(result);
  } else {
    std::printf("The slack after buffer insertion : %10.10g\n", fastins_answer);
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
  fp = stdout;
  if (std::ferror(placement.get()) || std::fclose(placement.release()) != 0) {
    std::remove(filename.c_str());
    std::remove(finalnet.c_str());
    fatal("cannot write %s", filename.c_str());
  }
  if (t) {
    std::printf("Maximum memory usage is %fM bytes \n", megabytes(max_space));
    std::printf("Algorithm time is : %f seconds\n", algorithm_time);
  }
  if (!use_van) nil_free();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "bufins: cannot write the report to standard output\n");
    return 1;
  }
  return 0;
}

int main(int argc, char **argv) {
  try {
    return run(argc, argv);
  } catch (const InputError &e) {
    return report_input_error(e);
  }
}
