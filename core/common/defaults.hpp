// Default parameters of the analysis, shared by the core and the bindings.
#pragma once

namespace tx::defaults {

// Zero band of the inertia: eigenvalues with |x| <= kTol count as zero.
constexpr double kTol = 1e-9;

// Atom layout (force-directed relaxation of the depiction).
constexpr long kLayoutIterations = 600;
constexpr double kTargetBondLen = 1.5;
constexpr double kRepulsionFactor = 1.2;
constexpr double kAttraction = 0.06;
constexpr double kRepulsion = 0.05;

// Orbital graph: node circle radius as a share of the bond length, and the
// weight of a bond link.
constexpr double kRadiusRatio = 0.23;
constexpr double kBondKappa = 0.9;

// Fragmentation: lightest piece kept by a ring double cut of the molecule,
// the same for fragments of later generations, and generation counts.
constexpr double kMinRingFragmentMz = 30.0;
constexpr double kMinRecursiveMz = 25.0;
constexpr long kDriverGenerations = 2;
constexpr long kRecursiveGenerations = 3;

// Seed and spread of the jitter that separates atoms a depiction put on one point.
constexpr unsigned kJitterSeed = 42;
constexpr double kJitterSigma = 0.1;

}  // namespace tx::defaults
