#pragma once
// A core header that reaches up into the command line: the checker must
// name this edge.
#include "cli/Options.h"
#include "../cli/Options.h"
