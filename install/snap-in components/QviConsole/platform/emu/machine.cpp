#include "platform/emu/machine.h"
