// The OBJ reader written the slow, literal way, as two passes of stream
// reads: the behaviour obxReadOBJ must have, held against it by the tests
// and the fuzz targets. Not part of the library.
#pragma once

#include <string>

#include "obx/obx.h"

// Reads the OBJ file at path and the libraries it names as obxReadOBJ must,
// through the library's public helpers (groups, material lookup, textures,
// facet normals); warnings go to stderr through obxWarn. Returns a model
// the caller releases with obxDeleteModel. On a fatal condition returns
// NULL, with everything it held released, and stores the message (without
// the "OBX: Fatal Error: " prefix) in *fatal, which must not be NULL.
ObxModel* referenceReadOBJ(const char* path, std::string* fatal);
