#pragma once

class QQmlApplicationEngine;

namespace castora {

// Start-up timing for the benchmarks (bench/window_bench.cpp). In development builds, when the
// environment variable CASTORA_STARTUP_PROBE is set, the first frame that the engine's first
// window puts on screen is reported once on standard error:
//
//   castora startup probe: first frame at <ns> ns (CLOCK_MONOTONIC), <ms> ms after process start
//
// Call it after the main document is loaded. Does nothing otherwise, and builds without
// CASTORA_DEVELOPMENT leave it out.
void reportFirstFrame(const QQmlApplicationEngine &engine);

} // namespace castora
