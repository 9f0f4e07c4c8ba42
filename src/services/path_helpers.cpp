#include "services/path_helpers.h"
