#include "korvane/carrowel/trainer/trainer.hpp"
namespace korvane::carrowel {
void bind_round_and_loop(TrainerClass&) {}
}
