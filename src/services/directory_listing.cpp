#include "services/directory_listing.h"
