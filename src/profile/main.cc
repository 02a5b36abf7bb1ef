#include "platform/entry.h"
#include "profile.h"

ZYMRAN_ENTRY(runProfile)
