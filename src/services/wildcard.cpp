#include "services/wildcard.h"
