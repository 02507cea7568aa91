// Creates one directory level; a relative path (backslashes allowed) resolves against the
// current directory. False when it was not created, also when it exists already.
#pragma once
#include "platform/text.h"

bool makeDirectory(const WString& path);
