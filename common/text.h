// The text routines live in base/text.h, below the platform layer, which uses them too.
// XXX to go: kept only while the decoder and the sender still include it by this name.
#pragma once

#include "base/text.h"
