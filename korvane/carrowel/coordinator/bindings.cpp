#include "korvane/carrowel/coordinator/coordinator_ops.hpp"

namespace korvane::carrowel {
void bind_coordinator(TrainerClass& cls) {
  bind_join(cls);
  bind_relays(cls);
}
}  // namespace korvane::carrowel
