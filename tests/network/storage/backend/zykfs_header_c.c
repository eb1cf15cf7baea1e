/* The public header compiled as C (c11, pedantic, warnings as errors): it must
   parse as C, and its layout assertions must hold under a C compiler too. */
#include "zykfs/zykfs.h"
