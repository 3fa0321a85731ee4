#pragma once
#include "res/resource.h"

// Shows string-table message `id` modally: the 200xx with the stop icon, the 210xx plain.
void ShowMessage(unsigned id);
// Shows message `id` and abandons the operation with CUserException.
[[noreturn]] void ShowMessageAndThrow(unsigned id);

// While set, messages are dropped: nobody can answer a box while the library loads.
void SetMessagesSuppressed(bool suppressed);

// Runs before each box the calling thread shows, while it lives: the update worker hides
// its progress window, which would otherwise stand over the box.
class CBoxPreamble {
public:
    explicit CBoxPreamble(void (*before)(void*), void* context);
    ~CBoxPreamble();
    CBoxPreamble(const CBoxPreamble&) = delete;
    CBoxPreamble& operator=(const CBoxPreamble&) = delete;
};
