#pragma once

// The one place where the benchmarks name the engine's input check: the capture stream
// running off air, feeding only the level meter, so that Start opens the encoder's gate on a
// stream already delivering instead of opening the device then.
//
// Expected in the engine:
//
//   BroadcastEngine::startInputCheck(const BroadcastRequest &request)
//       opens and starts the capture stream of the request's device at the rate its quality
//       captures at, off air; returns true (or a result with ok()) once it runs.
//
// Builds whose engine has no such method compile the benchmarks all the same; their rows that
// need it read kNoInputCheck. When the engine names it otherwise, change the two lines that
// call it here.
#include "BroadcastEngine.h"

#include <type_traits>
#include <utility>

namespace castora::bench {

template <typename Engine, typename = void> struct HasInputCheck : std::false_type {};

template <typename Engine>
struct HasInputCheck<Engine, std::void_t<decltype(std::declval<Engine &>().startInputCheck(
                                 std::declval<const engine::BroadcastRequest &>()))>>
    : std::true_type {};

inline constexpr bool kInputCheckBuilt = HasInputCheck<engine::BroadcastEngine>::value;
inline constexpr const char *kNoInputCheck = "n/a (capture cannot run off air in this build)";

// Starts the capture off air through the engine's input check; false when this build has none
// or it failed.
template <typename Engine>
bool startInputCheck(Engine &engine, const engine::BroadcastRequest &request) {
    if constexpr (HasInputCheck<Engine>::value) {
        const auto result = engine.startInputCheck(request);
        if constexpr (std::is_convertible_v<decltype(result), bool>)
            return bool(result);
        else
            return result.ok();
    } else {
        (void)engine;
        (void)request;
        return false;
    }
}

} // namespace castora::bench
