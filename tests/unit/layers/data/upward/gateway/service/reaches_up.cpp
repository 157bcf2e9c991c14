// Reaches up from the floor to a subsystem.
#include "gateway/smtp_in/smtp_in.h"
