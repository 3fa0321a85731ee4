// A message that waits for the user (FLB_MESSAGE_WAIT=1) is answered when the library
// ends, as Windows answers the boxes of an unloaded library's threads; none waits after.
#pragma once

namespace platform {

void AnswerOpenMessages();

}  // namespace platform
