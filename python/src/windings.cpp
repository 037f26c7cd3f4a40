// Windings as the report reads them: chained into closed windings by the MAKEGRID exporter's chaining,
// and the bend of a bent magnet applied to any points (a beam's path through it).
#include <algorithm>
#include <cstdint>

#include "bindings.hpp"
#include "magnet/coil_chain.hpp"
#include "magnet/windings.hpp"

namespace expcoil::python {
namespace {

py::dict chain_windings_of(const py::handle& segments, const py::handle& currents, double join_tolerance) {
  const WindingSet windings = winding_set_argument(segments, currents);
  CoilChains c;
  {
    py::gil_scoped_release release;
    c = chain_windings(windings, join_tolerance);
  }
  const auto n = static_cast<py::ssize_t>(c.chains.size());
  py::array_t<std::int64_t> first_point(n), point_count(n), layer(n), first_segment(n), last_segment(n);
  py::array_t<double> current(n);
  py::array_t<bool> closed(n), other(n);
  for (py::ssize_t i = 0; i < n; ++i) {
    const CoilChain& chain = c.chains[static_cast<std::size_t>(i)];
    first_point.mutable_at(i) = static_cast<std::int64_t>(chain.first_point);
    point_count.mutable_at(i) = static_cast<std::int64_t>(chain.point_count);
    layer.mutable_at(i) = chain.layer;
    first_segment.mutable_at(i) = static_cast<std::int64_t>(chain.first_segment);
    last_segment.mutable_at(i) = static_cast<std::int64_t>(chain.last_segment);
    current.mutable_at(i) = chain.current;
    closed.mutable_at(i) = chain.closed;
    other.mutable_at(i) = chain.other_current_continues;
  }
  py::array_t<double> points({static_cast<py::ssize_t>(c.points.size() / 3), py::ssize_t{3}});
  std::copy(c.points.begin(), c.points.end(), points.mutable_data());
  py::dict result;
  result["points"] = points;
  result["first_point"] = first_point;
  result["point_count"] = point_count;
  result["current"] = current;
  result["layer"] = layer;
  result["closed"] = closed;
  result["first_segment"] = first_segment;
  result["last_segment"] = last_segment;
  result["other_current_continues"] = other;
  result["zero_length"] = c.zero_length;
  result["zero_current"] = c.zero_current;
  return result;
}

py::array_t<double> bend_points_of(const MagnetHandle& magnet, const py::handle& points) {
  Points p = points_argument(points);
  if (magnet->bent) {
    py::gil_scoped_release release;
    bend_points(*magnet, p.x.data(), p.z.data(), p.x.size());
  }
  py::array_t<double> result(p.shape);
  double* out = result.mutable_data();
  for (std::size_t i = 0; i < p.x.size(); ++i) *out++ = p.x[i], *out++ = p.y[i], *out++ = p.z[i];
  return result;
}

}  // namespace

void init_windings(py::module_& m) {
  m.def("chain_windings", &chain_windings_of, py::arg("segments"), py::arg("currents"),
        py::arg("join_tolerance"), "See expcoil.chain_windings.");
  m.def("bend_points", &bend_points_of, py::arg("magnet"), py::arg("points"), "See expcoil.bend_points.");
}

}  // namespace expcoil::python
