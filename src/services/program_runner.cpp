#include "services/program_runner.h"
