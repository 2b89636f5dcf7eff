// One byte of standard input, read the system's way: shared by console.cpp
// and the system's own console file, seen by no one else.
#pragma once

namespace platform {

// False at the end of input or on an error.
bool ReadInputByte(char* c);

}  // namespace platform
