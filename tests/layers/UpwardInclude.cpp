// Built only by the layers test: a file of the core that reaches up into the
// command line must not find the header.
#include "cli/Listings.h"
