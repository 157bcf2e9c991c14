// Placeholder until the registry store lands.
#include "platform/registry.h"
