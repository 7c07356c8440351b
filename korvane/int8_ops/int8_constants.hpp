// The numbers of the int8 weight format and of its update, in one place. The CPU
// operators, the GPU kernels (compiled at run time: they receive these as -D defines, see
// kNvrtcDefines), the kernel holder's defaults and the Python layer (through the operator
// module's attributes) all read them from here.
//
// Header-only and free of torch and Python, so that every layer of the build may include it.
#pragma once
#include <cstdint>

// The values as preprocessor tokens: the only spelling of each number in the project.
#define KORVANE_INT8_QMAX 127          // int8 weights lie in -QMAX..QMAX; -128 never occurs
#define KORVANE_INT8_SCALE_FLOOR 1e-10 // added to a row scale so an all-zero row stays usable
#define KORVANE_INT8_GROUP_SIZE 64     // gradient elements per mean-magnitude scale
#define KORVANE_INT8_SIGN_BOOST 1.3    // step multiplier when a gradient keeps its sign
#define KORVANE_INT8_SIGN_BRAKE 0.7    // ... and when it flips (or has no previous sign)
#define KORVANE_INT8_VAR_BETA 0.999    // decay of the running mean of the squared gradient
#define KORVANE_INT8_VAR_EPS 1e-8      // keeps the step finite where the variance is zero

#define KORVANE_INT8_TEXT_(x) #x
#define KORVANE_INT8_TEXT(x) KORVANE_INT8_TEXT_(x)

namespace korvane::int8 {

inline constexpr int kQMax = KORVANE_INT8_QMAX;
inline constexpr double kScaleFloor = KORVANE_INT8_SCALE_FLOOR;
inline constexpr int64_t kGroupSize = KORVANE_INT8_GROUP_SIZE;
inline constexpr double kSignBoost = KORVANE_INT8_SIGN_BOOST;
inline constexpr double kSignBrake = KORVANE_INT8_SIGN_BRAKE;
inline constexpr double kVarBeta = KORVANE_INT8_VAR_BETA;
inline constexpr double kVarEps = KORVANE_INT8_VAR_EPS;

// Compiler options that hand the constants the kernels use to NVRTC.
inline constexpr const char* kNvrtcDefines[] = {
    "-DKORVANE_INT8_QMAX=" KORVANE_INT8_TEXT(KORVANE_INT8_QMAX),
    "-DKORVANE_INT8_SCALE_FLOOR=" KORVANE_INT8_TEXT(KORVANE_INT8_SCALE_FLOOR),
};

}  // namespace korvane::int8
