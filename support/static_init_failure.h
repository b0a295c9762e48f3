// Set by any of the DLL's statics whose construction at module load failed,
// for example a lock the system could not prepare. The DLL's process attach
// reads it and refuses the load: the module cannot work without them.
//
// Constant-initialised, so it is valid before any static constructor runs,
// whatever their order across files.
#pragma once

inline bool g_initializationFailed = false;
