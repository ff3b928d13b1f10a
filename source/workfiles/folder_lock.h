// One instance per folder: an exclusive lock on the working folder that ends
// with the process, however it ends.
#pragma once

#include <string>

// Takes the lock of the current folder for the rest of the process and, when
// nameHolder is true, names this process in quilbrex.lock. Returns false when
// another process holds the lock, with holder set to what quilbrex.lock says
// about it; nothing is written then.
bool LockWorkFolder(std::string* holder, bool nameHolder = true);
