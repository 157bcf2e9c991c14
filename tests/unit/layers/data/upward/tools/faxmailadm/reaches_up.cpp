// The applet host may include the export it calls, and nothing else of the applet.
#include "applet/run_dialog.h"
#include "applet/service_ops.h"
