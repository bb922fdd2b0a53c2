#pragma once
// EngineConfig::input: its ranges, its translation into the engine's conditioner settings, and
// the lines the kit logs at start. Pure.
#include <string>
#include <vector>

#include "bridge/morvox_engine.h"
#include "mvsdk/engine_config.h"

namespace mvsdk::sdk {

// Why the settings cannot be used (a value of a stage that is on lies outside its range, or is
// not a number), e.g. "Unsupported input gain 50 dB (-40 to 40 dB)"; empty when they can. The
// values of a stage that is off are not looked at.
std::string input_conditioning_problem(const InputConditioning& input);

bridge::ConditionerSettings conditioner_settings(const InputConditioning& input);

// One line a stage, in processing order, saying whether it is on and with which settings.
std::vector<std::string> input_conditioning_report(const InputConditioning& input);

}  // namespace mvsdk::sdk
