// The host may include every part of the gateway.
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/service/log.h"
#include "platform/file.h"
