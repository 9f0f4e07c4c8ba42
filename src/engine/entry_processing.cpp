#include "engine/entry_processing.h"
