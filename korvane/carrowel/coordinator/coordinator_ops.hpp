// The trainer's exchanges with the coordinator: join (join.cpp) and relays (relay.cpp).
#pragma once
#include "korvane/carrowel/trainer/trainer.hpp"

namespace korvane::carrowel {
void bind_join(TrainerClass& cls);
void bind_relays(TrainerClass& cls);
}  // namespace korvane::carrowel
