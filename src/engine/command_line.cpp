#include "engine/command_line.h"
