#include "korvane/carrowel/trainer/schedule.hpp"

#include <algorithm>

namespace korvane::carrowel {

std::vector<PassAction> one_forward_one_backward(long long m, long long depth) {
  std::vector<PassAction> order;
  if (m <= 0) return order;
  const long long warmup = std::clamp(depth, 1LL, m) - 1;
  order.reserve(static_cast<size_t>(2 * m));
  for (long long k = 0; k < warmup; ++k) order.push_back({PassAction::forward, k});
  for (long long k = warmup; k < m; ++k) {
    order.push_back({PassAction::forward, k});
    order.push_back({PassAction::backward, k - warmup});
  }
  for (long long k = m - warmup; k < m; ++k) order.push_back({PassAction::backward, k});
  return order;
}

long long in_flight_depth(long long m, long long position, bool is_last, std::optional<long long> stages,
                          std::optional<long long> max_in_flight) {
  long long depth = 1;
  if (!is_last) {
    if (max_in_flight)
      depth = *max_in_flight;
    else if (stages && *stages > position)
      depth = *stages - std::max(position, 0LL);
    else
      depth = 2;
  }
  return std::clamp(depth, 1LL, std::max(m, 1LL));
}

}  // namespace korvane::carrowel
