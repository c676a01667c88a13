/* Compiled as C: the public header is valid C and its prototypes are usable. */
#include "mosslib.h"

const char *mosslib_c_version(void) { return mosslib_version(); }
