// Random GUIDs (RFC 4122 version 4), as 36 lower-case characters:
// xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx with y one of 8, 9, a, b.
#pragma once

#include <string>

std::string CreateGuid();
