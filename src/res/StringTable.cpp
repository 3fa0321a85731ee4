// The string table, compiled from the same list as the resources.
#include "res/StringTable.h"

#include "res/resource.h"

namespace {
struct Entry { unsigned id; const char* text; };
const Entry kStrings[] = {
#define FLB_STRING(id, text) {id, text},
#include "res/StringTable.inc"
#undef FLB_STRING
};
}  // namespace

const char* LoadResString(unsigned id) {
    for (const Entry& e : kStrings)
        if (e.id == id) return e.text;
    return "";
}
