// The lead bytes of CP_ACP, read once: the scans ask per byte, and the code page of a
// process does not change while it runs.
#include "platform/CodePage.h"

#include <windows.h>

#include <array>

namespace platform {

bool IsLeadByte(unsigned char c) {
    static const std::array<bool, 256> lead = [] {
        std::array<bool, 256> table{};
        CPINFO info;
        if (GetCPInfo(CP_ACP, &info))
            for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i]; i += 2)
                for (unsigned b = info.LeadByte[i]; b <= info.LeadByte[i + 1]; ++b) table[b] = true;
        return table;
    }();
    return lead[c];
}

}  // namespace platform
