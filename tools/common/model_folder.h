#pragma once
// Moved to synthetic/model_folder.h with the rest of the synthetic model writer; this name stays
// until its last user includes the new one.
#include "synthetic/model_folder.h"
