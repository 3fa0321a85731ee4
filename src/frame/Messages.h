#pragma once
#include "res/resource.h"

// Shows string-table message `id` modally: the 200xx with the stop icon, the 210xx plain.
void ShowMessage(unsigned id);
// Shows message `id` and abandons the operation with CUserException.
[[noreturn]] void ShowMessageAndThrow(unsigned id);

// While set, messages are dropped: nobody can answer a box while the library loads.
void SetMessagesSuppressed(bool suppressed);
