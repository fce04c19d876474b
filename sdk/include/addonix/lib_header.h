// What every plug-in's exported surface needs: the host interface types and the export marker.
#ifndef ADDONIX_LIB_HEADER_H
#define ADDONIX_LIB_HEADER_H

#include <exec/types.h>
#include <libraries/addonix_plugin.h>

// Everything is built hidden; only what carries this is visible to the host.
#define ADDONIX_EXPORT extern "C" __attribute__((visibility("default")))

#endif
