// The one translation unit that compiles miniaudio's implementation; it is
// slow to build, so nothing else lives here.
#define MINIAUDIO_IMPLEMENTATION
#include <miniaudio.h>
