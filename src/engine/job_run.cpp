#include "engine/job_run.h"
