#pragma once
// The one place the version is written: the module's version() returns it and
// the build reads the distribution's version from this line.

#define QUORVEL_VERSION "0.1.0"
