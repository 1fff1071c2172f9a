// Private temporary files: a new file under a unique name in the system's temporary
// folder, created exclusively, so that no other user can have placed or pointed
// something at that name beforehand. The caller deletes it when done.
#pragma once

#include <cstddef>

// Creates an empty file whose name begins with a short tag of the caller's; the full
// path goes to path (size bytes). 0, or -1 when the folder cannot be found, the path
// does not fit, or no file could be created (nothing is left behind then).
int platform_temp_file(const char *tag, char *path, size_t size);
