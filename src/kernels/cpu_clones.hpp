// Hot functions built for the running CPU.
#pragma once

// Marks a hot function to be built for a few x86-64 instruction sets and
// chosen at load for the running CPU, so that a portable build still runs the
// newer instructions where they exist. Floating-point results do not change:
// no fused multiply-adds are formed (-ffp-contract=off).
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define MIRTALY_CPU_CLONES __attribute__((target_clones("avx2", "sse4.1", "default")))
#endif
#endif
#ifndef MIRTALY_CPU_CLONES
#define MIRTALY_CPU_CLONES
#endif

// A lambda called from such a function is inlined into it, and so built for
// the same instruction set.
#define MIRTALY_INLINE_LAMBDA __attribute__((always_inline))
