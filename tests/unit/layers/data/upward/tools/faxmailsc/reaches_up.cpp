// Other tools may not include the applet at all.
#include "applet/run_dialog.h"
