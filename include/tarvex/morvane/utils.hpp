// The package's utility module: the command-line services (cli.hpp).
#pragma once

#include "tarvex/morvane/cli.hpp"
