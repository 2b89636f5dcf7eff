// What the console does the same way on every system; stop requests are in
// the system's own file.
#include "platform/console.h"

#include "platform/console_input.h"

namespace platform {

bool ReadConsoleLine(std::string* line) {
    line->clear();
    bool any = false;
    char c;
    while (ReadInputByte(&c)) {
        any = true;
        if (c == '\n') break;
        line->push_back(c);
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return any;
}

}  // namespace platform
