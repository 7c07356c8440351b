#include "korvane/carrowel/trainer/trainer.hpp"
namespace korvane::carrowel {
void bind_statistics(TrainerClass&) {}
}
