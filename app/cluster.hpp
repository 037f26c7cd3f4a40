// The processes one run is spread over. Built without MPI (the default) a run is one process and every
// operation here is trivial; built with EXPCOIL_MPI and started by `mpirun -np N expcoil`, every rank
// runs the design stages itself (they are cheap and deterministic), the field map's points are split
// over the ranks, and rank 0 alone prints and writes the files, which are byte for byte those of one
// process.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/errors.hpp"

namespace expcoil {

class Cluster {
 public:
  Cluster(int& argc, char**& argv);
  ~Cluster();
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  int rank() const { return rank_; }
  int size() const { return size_; }
  // Ranks on this machine (they share its processors).
  int local_size() const { return local_size_; }
  bool root() const { return rank_ == 0; }

  // Every rank says whether its step failed (a message) or not (null); every rank learns the lowest
  // failing rank (-1 when none) and, on the root, that rank's message. No rank waits on a rank that
  // failed: this is how a failure anywhere ends the run everywhere instead of hanging it.
  struct Outcome {
    int failed_rank = -1;
    std::string message;
  };
  Outcome agree(const std::string* failure);

  // Runs `step` on every rank and then agrees on its outcome: a rank whose step threw rethrows its own
  // exception; every other rank throws RankFailed naming the first failing rank (with its message on
  // the root). So a failure on one rank ends the run on all of them, and no rank is left waiting.
  template <class Step>
  void run_agreed(Step&& step) {
    std::exception_ptr error;
    std::string message;
    try {
      step();
    } catch (const std::bad_alloc&) {
      error = std::current_exception();
      message = "out of memory";
    } catch (const std::exception& e) {
      error = std::current_exception();
      message = e.what();
    } catch (...) {
      error = std::current_exception();
      message = "unknown error";
    }
    const Outcome outcome = agree(error ? &message : nullptr);
    if (error) std::rethrow_exception(error);
    if (outcome.failed_rank >= 0) throw RankFailed(outcome.failed_rank, outcome.message);
  }

  class RankFailed : public Error {
   public:
    RankFailed(int rank, const std::string& message) : Error(message), rank_(rank) {}
    int rank() const { return rank_; }

   private:
    int rank_;
  };

  // The root's `value`, on every rank.
  bool from_root(bool value);
  std::uint64_t root_value(std::uint64_t value);

  // Gathers `counts[r]` values from every rank r, in rank order, into `all` on the root; `mine` are this
  // rank's counts[rank()] values.
  void gather(const double* mine, const std::vector<std::int64_t>& counts, double* all);

  // Ends the MPI session early (before a fatal exit); harmless to call twice.
  void finish();

 private:
  int rank_ = 0;
  int size_ = 1;
  int local_size_ = 1;
  bool finished_ = false;
};

}  // namespace expcoil
