#include "settings/settings_flows.h"
