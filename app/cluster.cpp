#include "app/cluster.hpp"

#include <algorithm>
#include <climits>
#include <stdexcept>

#if EXPCOIL_MPI
#include <mpi.h>
#endif

namespace expcoil {

#if EXPCOIL_MPI

Cluster::Cluster(int& argc, char**& argv) {
  MPI_Init(&argc, &argv);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
  MPI_Comm_size(MPI_COMM_WORLD, &size_);
  MPI_Comm local;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, rank_, MPI_INFO_NULL, &local);
  MPI_Comm_size(local, &local_size_);
  MPI_Comm_free(&local);
}

Cluster::~Cluster() { finish(); }

void Cluster::finish() {
  if (finished_) return;
  finished_ = true;
  MPI_Finalize();
}

Cluster::Outcome Cluster::agree(const std::string* failure) {
  Outcome outcome;
  if (size_ == 1) {
    if (failure != nullptr) outcome = {0, *failure};
    return outcome;
  }
  const int mine = failure != nullptr ? rank_ : size_;
  int first = size_;
  MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (first == size_) return outcome;
  outcome.failed_rank = first;
  if (first == 0) {
    if (root()) outcome.message = *failure;
  } else if (rank_ == first) {
    MPI_Send(failure->data(), static_cast<int>(failure->size()), MPI_CHAR, 0, 0, MPI_COMM_WORLD);
  } else if (root()) {
    MPI_Status status;
    MPI_Probe(first, 0, MPI_COMM_WORLD, &status);
    int length = 0;
    MPI_Get_count(&status, MPI_CHAR, &length);
    outcome.message.resize(static_cast<std::size_t>(length));
    MPI_Recv(outcome.message.data(), length, MPI_CHAR, first, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  }
  return outcome;
}

bool Cluster::from_root(bool value) {
  if (size_ == 1) return value;
  int flag = value ? 1 : 0;
  MPI_Bcast(&flag, 1, MPI_INT, 0, MPI_COMM_WORLD);
  return flag != 0;
}

std::uint64_t Cluster::root_value(std::uint64_t value) {
  if (size_ == 1) return value;
  MPI_Bcast(&value, 1, MPI_UINT64_T, 0, MPI_COMM_WORLD);
  return value;
}

void Cluster::gather(const double* mine, const std::vector<std::int64_t>& counts, double* all) {
  if (size_ == 1) {
    if (all != mine) std::copy(mine, mine + counts[0], all);
    return;
  }
  std::vector<int> sizes(counts.size()), offsets(counts.size());
  std::int64_t offset = 0;
  for (std::size_t r = 0; r < counts.size(); ++r) {
    // A slab is far below 2^31 values; MPI counts in int.
    if (counts[r] > INT32_MAX || offset > INT32_MAX)
      throw std::length_error("slab too large for MPI_Gatherv");
    sizes[r] = static_cast<int>(counts[r]);
    offsets[r] = static_cast<int>(offset);
    offset += counts[r];
  }
  // The root's own share may already lie in place in `all`.
  const void* send = root() && mine == all + offsets[0] ? MPI_IN_PLACE : static_cast<const void*>(mine);
  MPI_Gatherv(send, sizes[static_cast<std::size_t>(rank_)], MPI_DOUBLE, all, sizes.data(), offsets.data(),
              MPI_DOUBLE, 0, MPI_COMM_WORLD);
}

#else

Cluster::Cluster(int&, char**&) {}
Cluster::~Cluster() = default;
void Cluster::finish() { finished_ = true; }

Cluster::Outcome Cluster::agree(const std::string* failure) {
  Outcome outcome;
  if (failure != nullptr) outcome = {0, *failure};
  return outcome;
}

bool Cluster::from_root(bool value) { return value; }
std::uint64_t Cluster::root_value(std::uint64_t value) { return value; }

void Cluster::gather(const double* mine, const std::vector<std::int64_t>& counts, double* all) {
  if (all != mine) std::copy(mine, mine + counts[0], all);
}

#endif

}  // namespace expcoil
