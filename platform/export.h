#pragma once

// Symbols are hidden by default in every library of the project; what another
// library or program must reach is marked with ULX_EXPORT. On ELF one attribute
// serves both the exporting and the importing side.
#define ULX_EXPORT __attribute__((visibility("default")))
