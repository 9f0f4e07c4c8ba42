#include "services/console.h"
