// Reaches up from the platform layer to common/.
#include "common/text.h"
