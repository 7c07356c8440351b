// Placeholder until the compression subsystem lands.
#pragma once
namespace korvane::carrowel {
bool torch_available();
}
