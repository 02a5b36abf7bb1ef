#include "driver.h"
#include "platform/entry.h"

ZYMRAN_ENTRY(runDriver)
