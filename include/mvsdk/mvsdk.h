#pragma once
// Everything a host includes to use the kit.
#include "mvsdk/callbacks.h"
#include "mvsdk/engine_config.h"
#include "mvsdk/log.h"
#include "mvsdk/sdk_manager.h"
#include "mvsdk/speaker_item.h"
#include "mvsdk/version.h"
